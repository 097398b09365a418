/* The floor for a full backup: streams every row of the named tables with
 * mysql_use_result and touches each value, writing nothing.
 *
 *   fetch_floor SOCKET USER PASSWORD DATABASE TABLE...
 *
 * Prints "<rows> <bytes>" to stdout. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mysql.h>

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: %s SOCKET USER PASSWORD DATABASE TABLE...\n", argv[0]);
    return 2;
  }
  MYSQL* db = mysql_init(NULL);
  if (db == NULL ||
      !mysql_real_connect(db, NULL, argv[2], argv[3], argv[4], 0, argv[1], 0)) {
    fprintf(stderr, "connect: %s\n", db ? mysql_error(db) : "out of memory");
    return 1;
  }
  unsigned long long rows = 0, bytes = 0;
  for (int t = 5; t < argc; ++t) {
    char query[512];
    snprintf(query, sizeof query, "SELECT * FROM `%s`", argv[t]);
    if (mysql_query(db, query) != 0) {
      fprintf(stderr, "%s: %s\n", argv[t], mysql_error(db));
      return 1;
    }
    MYSQL_RES* result = mysql_use_result(db);
    if (result == NULL) {
      fprintf(stderr, "%s: %s\n", argv[t], mysql_error(db));
      return 1;
    }
    unsigned int fields = mysql_num_fields(result);
    MYSQL_ROW row;
    while ((row = mysql_fetch_row(result)) != NULL) {
      unsigned long* lengths = mysql_fetch_lengths(result);
      for (unsigned int i = 0; i < fields; ++i)
        if (row[i] != NULL) bytes += lengths[i] + (unsigned char)row[i][0];
      ++rows;
    }
    if (mysql_errno(db) != 0) {
      fprintf(stderr, "%s: %s\n", argv[t], mysql_error(db));
      return 1;
    }
    mysql_free_result(result);
  }
  mysql_close(db);
  printf("%llu %llu\n", rows, bytes);
  return 0;
}
