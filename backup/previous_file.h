// The previous backup of one run: the file, open from the moment it is
// indexed until the run ends, and its index. Rows are copied out of it only
// while it is the file that was indexed.
#ifndef VKT_BACKUP_PREVIOUS_FILE_H_
#define VKT_BACKUP_PREVIOUS_FILE_H_

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "backup/backup_file.h"
#include "backup/plan.h"
#include "backup/previous_backup.h"
#include "backup/zstd_frames.h"

class RowProgress;

class PreviousBackup {
 public:
  // Opens `fileName`, or else the compressed file of that name; nullptr
  // when neither is a regular file that can be read. The file's header must
  // name `database` (the file names of two databases can be the same). A
  // compressed file not of this program's frames is decompressed into a
  // scratch file first, and only while that takes at most half the space
  // free beside it. When the file is another database's or would take more,
  // nullptr, and `*refusal` (if given) is the console line that says so
  // ("" otherwise).
  static std::unique_ptr<PreviousBackup> open(const std::string& fileName,
                                              const std::string& database,
                                              std::string* refusal = nullptr);
  ~PreviousBackup();
  PreviousBackup(const PreviousBackup&) = delete;
  PreviousBackup& operator=(const PreviousBackup&) = delete;

  // Reads the file once and indexes it; `wanted` as for buildIndex().
  void index(const previous_backup::RowsWanted& wanted);

  const previous_backup::Index& contents() const { return index_; }
  // The first block of `name`; nullptr when the file has none.
  const PreviousTableEntry* find(const std::string& name) const;
  // The index as the plan reads it; `sessionMatches` as plan::Previous.
  plan::Previous forPlan(bool sessionMatches) const;

  // Copies the trusted rows of `entry` into `out`: as the frames they are
  // when both files are compressed and the frames hold just those rows,
  // else as copyRows() does. Never whole once the compressed file is not
  // the one that was read.
  RowsResult copyRows(const PreviousTableEntry& entry, BackupFile& out,
                      RowProgress* progress) const;

 private:
  PreviousBackup() = default;
  // Opens the compressed `packedName`: read in place when it is this
  // program's frames, else decompressed once into a scratch file beside it.
  // *foreign tells that its header names another database; `*tooLarge`
  // that the decompression stopped at its bound.
  bool openPacked(const std::string& packedName, const std::string& database,
                  bool* foreign, bool* tooLarge);
  bool packedUnchanged() const;

  // The plain bytes: a plain file, or a compressed one's decompressed into
  // a scratch file that goes when it is closed. -1 when read in place.
  int plainFd_ = -1;
  // A compressed file: the file itself, its stamp from before it was read,
  // and its frames.
  int packedFd_ = -1;
  FileStamp packedStamp_;
  std::vector<zstd_frames::Frame> frames_;
  // A compressed file of this program's frames, read in place.
  std::shared_ptr<file_lines::PackedBytes> packedBytes_;
  previous_backup::Index index_;
  // Positions in index_.tables by name: the first block of a name counts.
  std::unordered_map<std::string, size_t> byName_;
};

// The frames of a compressed previous backup (`packed`, in file order)
// that hold exactly the rows block of `entry` with its closing empty line,
// one after the other and each sound: its rows may be copied as these
// frames. Empty when there are none such.
std::vector<zstd_frames::Frame> rowFrames(
    const PreviousTableEntry& entry, const std::vector<zstd_frames::Frame>& packed);

// Opens and indexes a previous backup on a thread of its own, so that the
// pass over the file runs while the server answers the run's queries.
// Rows are judged whole until narrow() says which are wanted: a block the
// pass reaches after that is judged only when wanted.
class PreviousIndexing {
 public:
  // Starts the thread, which opens `fileName` as PreviousBackup::open()
  // does for `database`, and indexes it.
  PreviousIndexing(std::string fileName, std::string database);
  // Waits for the thread.
  ~PreviousIndexing();
  PreviousIndexing(const PreviousIndexing&) = delete;
  PreviousIndexing& operator=(const PreviousIndexing&) = delete;

  // From now on, rows are judged only where `wanted` says so. It is called
  // on the indexing thread, so what it reads must stay unchanged and alive
  // until finish() or the destructor.
  void narrow(previous_backup::RowsWanted wanted);
  // Waits until the pass has ended.
  void waitUntilIndexed();
  // Waits, then hands over the backup: nullptr when the file could not be
  // opened (and after the first call).
  std::unique_ptr<PreviousBackup> finish();
  // After finish(): why the file is no base, as open() tells it ("" when
  // it only could not be read).
  const std::string& refusal() const { return refusal_; }

 private:
  void openAndIndex(const std::string& fileName, const std::string& database);
  bool rowsWanted(const PreviousTableEntry& entry);

  std::mutex mutex_;
  previous_backup::RowsWanted wanted_;  // guarded by mutex_
  std::unique_ptr<PreviousBackup> previous_;  // the thread's until joined
  std::string refusal_;                       // likewise
  std::thread thread_;
};

#endif  // VKT_BACKUP_PREVIOUS_FILE_H_
