/* Copies a file to another line by line, either with one write() per line
 * (what a stream flushed after every line does) or through a 64 KiB buffer.
 * Shows what the per-line flush costs on this machine for a given file.
 *
 *   line_writes per-line|buffered IN OUT
 *
 * Prints the number of write calls to stdout. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) return -1;
    data += n;
    length -= (size_t)n;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 4 || (strcmp(argv[1], "per-line") != 0 && strcmp(argv[1], "buffered") != 0)) {
    fprintf(stderr, "usage: %s per-line|buffered IN OUT\n", argv[0]);
    return 2;
  }
  int perLine = strcmp(argv[1], "per-line") == 0;
  FILE* in = fopen(argv[2], "rb");
  int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in == NULL || out < 0) {
    perror("open");
    return 1;
  }
  static char buffer[1 << 16];
  size_t used = 0;
  unsigned long long writes = 0;
  char* line = NULL;
  size_t capacity = 0;
  ssize_t length;
  while ((length = getline(&line, &capacity, in)) > 0) {
    if (perLine) {
      if (write_all(out, line, (size_t)length) != 0) return 1;
      ++writes;
      continue;
    }
    if (used + (size_t)length > sizeof buffer) {
      if (write_all(out, buffer, used) != 0) return 1;
      ++writes;
      used = 0;
    }
    if ((size_t)length > sizeof buffer) {
      if (write_all(out, line, (size_t)length) != 0) return 1;
      ++writes;
    } else {
      memcpy(buffer + used, line, (size_t)length);
      used += (size_t)length;
    }
  }
  if (used > 0) {
    if (write_all(out, buffer, used) != 0) return 1;
    ++writes;
  }
  free(line);
  fclose(in);
  close(out);
  printf("%llu\n", writes);
  return 0;
}
