// A progress line for a long row loop, shown on the terminal only.
//
// While one table's rows are read or copied, one line on stderr tells the
// table, the rows so far, the bytes written and the rate. It is redrawn in
// place at most four times a second (counted over all tables, so a run of
// many mid-sized tables does not flicker) and erased by finish(), so that
// the next console line lands where it would without it. When stderr is
// not a terminal nothing is written at all.
#ifndef VKT_BACKUP_PROGRESS_H_
#define VKT_BACKUP_PROGRESS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

class RowProgress {
 public:
  // Shows the progress on stderr when stderr is a terminal.
  explicit RowProgress(const std::string& table);
  // Shows it on `terminal`, `columns` wide; shows nothing when `terminal`
  // is null.
  RowProgress(const std::string& table, std::ostream* terminal, int columns);
  ~RowProgress();
  RowProgress(const RowProgress&) = delete;
  RowProgress& operator=(const RowProgress&) = delete;

  // Counts one row of `bytes` bytes. Costs an addition and a comparison;
  // the clock is read only every few hundred KiB.
  void tick(size_t bytes) {
    ++rows_;
    bytes_ += bytes;
    if (bytes_ >= nextCheck_) check();
  }

  // Sets the rows and bytes so far, for a copy in large pieces.
  void advanceTo(uint64_t rows, uint64_t bytes) {
    rows_ = rows;
    bytes_ = bytes;
    if (bytes_ >= nextCheck_) check();
  }

  // Erases the line if it is shown. Must be called before anything else is
  // printed on the console; the destructor calls it too.
  void finish();

 private:
  void check();
  // The line for `seconds` since the start, at most `columns` wide.
  std::string text(double seconds, size_t columns) const;

  std::string table_;
  std::ostream* terminal_;
  int columns_;  // 0: ask the terminal at each redraw
  std::chrono::steady_clock::time_point start_;
  uint64_t rows_ = 0;
  uint64_t bytes_ = 0;
  uint64_t nextCheck_;
  bool shown_ = false;
};

#endif  // VKT_BACKUP_PROGRESS_H_
