#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app.h"
#include "backup/backup_file.h"

RunLock::RunLock(const char* path) {
  fd_ = open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
             0600);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  struct stat status;
  if (fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
    outcome_ = LockOutcome::kNotRegular;
    return;
  }
  giveToDirectoryOwner(fd_, path);
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    outcome_ = LockOutcome::kHeld;
    return;
  }
  error_ = errno;
  outcome_ = error_ == EWOULDBLOCK ? LockOutcome::kBusy : LockOutcome::kFailed;
}

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}
