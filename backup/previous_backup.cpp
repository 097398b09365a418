#include "backup/previous_backup.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <unistd.h>

#include "backup/backup_format.h"
#include "backup/local_time.h"
#include "backup/progress.h"
#include "backup/row_judges.h"
#include "backup/row_lexer.h"

namespace previous_backup {

using file_lines::FileBytes;
using file_lines::FileLines;
using file_lines::Line;
using file_lines::PlainBytes;
using file_lines::kBlockSize;
using file_lines::sameFile;
using file_lines::stampOf;
using file_lines::kLineHeldStreaming;

namespace {

// Rows are copied in steps of this size; progress is told after each.
constexpr std::uint64_t kProgressStep = std::uint64_t{16} << 20;

// The text between the first and the last apostrophe; with a single
// apostrophe everything after it; with none, the whole line.
std::string quotedText(std::string_view line) {
  const auto first = line.find(backup_format::kNameQuote);
  if (first == std::string_view::npos) return std::string(line);
  const auto last = line.rfind(backup_format::kNameQuote);
  if (last == first) return std::string(line.substr(first + 1));
  return std::string(line.substr(first + 1, last - first - 1));
}

// The table's comment block, whose first line is `first`: reads the update
// line and the line of '#'. The position is the first byte after the
// block, or none when the file ends inside it. `shapeSound` is false when
// the block's lines are not whole or its last line is not the line of '#'.
PreviousTableEntry readCommentBlock(FileLines& lines, const Line& first,
                                    bool* shapeSound) {
  PreviousTableEntry entry;
  entry.name = backup_format::nameFromComment(quotedText(first.text));
  *shapeSound = false;
  Line line;
  if (first.ended && lines.next(&line)) {
    entry.updateText = quotedText(line.text);
    if (line.ended && lines.next(&line) && line.ended) {
      entry.position = static_cast<std::int64_t>(line.next);
      *shapeSound = line.text == backup_format::hashLine();
    }
  }
  entry.updateKnown =
      local_time::fromCommentText(entry.updateText, &entry.updateTime);
  if (!entry.updateKnown) entry.updateTime = 0;
  return entry;
}

// Gives each identity to the first block of its table's name; a second
// identity line of a name is ignored.
void giveIdentities(
    const std::vector<std::pair<std::string, std::string>>& identities,
    std::vector<PreviousTableEntry>* tables) {
  std::unordered_map<std::string, PreviousTableEntry*> first;
  for (PreviousTableEntry& entry : *tables) first.emplace(entry.name, &entry);
  std::unordered_set<std::string> given;
  for (const auto& identity : identities) {
    auto found = first.find(identity.first);
    if (found != first.end() && given.insert(identity.first).second)
      found->second->identity = identity.second;
  }
}

// An object whose section holds a line too long to keep is known by a
// name that no object has (a comment name holds no line feed): it counts as
// dropped, and the object of its name as added.
void forgetObject(object_section::PreviousObject* object) {
  if (object->name.empty() || object->name.back() != '\n') object->name += '\n';
}

void takeObjectLine(const Line& line, object_section::PreviousObject* object) {
  object->section.take(line.text);
  if (line.cut) forgetObject(object);
}

}  // namespace

Index buildIndex(int fd, const RowsWanted& wanted) {
  return buildIndex(FileBytes(fd), wanted);
}

Index buildIndex(const PlainBytes& bytes, const RowsWanted& wanted) {
  Index index;
  // Taken before the first byte is read: a change while indexing shows.
  const FileStamp stamp = bytes.stamp();
  FileLines lines(bytes, 0);
  Line line;
  for (std::size_t i = 0; i < backup_format::kHeaderLinesSkipped; ++i)
    if (!lines.next(&line)) return index;
  RowJudges judges(bytes);
  BlockJudge judge("", 0, nullptr);
  bool inObject = false;  // the lines belong to the last object section
  bool objectEnded = false;  // its lines ended with the COMMIT line
  bool inIdentities = false;  // the identity block has begun
  std::vector<std::pair<std::string, std::string>> identities;
  while (lines.next(&line)) {
    if (inIdentities) {
      std::string table, identity;
      if (line.ended && backup_format::parseIdentityLine(line.text, &table, &identity))
        identities.emplace_back(std::move(table), std::move(identity));
      else if (line.ended && index.logPosition.file.empty())
        backup_format::parseLogPositionLine(line.text, &index.logPosition);
      continue;
    }
    // An object's statements may hold any line.
    if (inObject && index.objects.back().section.inStatements()) {
      takeObjectLine(line, &index.objects.back());
      continue;
    }
    const backup_format::SectionKind kind = backup_format::sectionKind(line.text);
    if (kind != backup_format::SectionKind::kNone) {
      if (!index.tables.empty() && !inObject) judge.finish(&index.tables.back());
      inObject = kind != backup_format::SectionKind::kTable;
    }
    if (kind == backup_format::SectionKind::kSettings) {
      inIdentities = true;
      inObject = false;
      index.settings = quotedText(line.text);
      if (index.settings.empty() || !line.ended) index.settings = "-";
      continue;
    }
    if (kind == backup_format::SectionKind::kTable) {
      bool shapeSound = false;
      index.tables.push_back(readCommentBlock(lines, line, &shapeSound));
      PreviousTableEntry& entry = index.tables.back();
      entry.file = stamp;
      // Only the rows of tables that may be copied are judged.
      judge = BlockJudge(entry.name, index.tables.size() - 1,
                         !wanted || wanted(entry) ? &judges : nullptr,
                         bytes.heldAfterReading() ? kJudgedRunHeld : kJudgedRun);
      if (!shapeSound) judge.reject();
    } else if (inObject) {
      if (kind != backup_format::SectionKind::kNone) {
        index.objects.push_back({kind, quotedText(line.text), {}});
        if (line.cut) forgetObject(&index.objects.back());
        objectEnded = false;
      } else if (line.text == backup_format::kCommitLine) {
        objectEnded = true;  // the file's closing line
      } else if (!objectEnded || !line.text.empty()) {
        // After the closing COMMIT line, a line of another kind makes the
        // section differ from any written.
        takeObjectLine(line, &index.objects.back());
      }
    } else if (!index.tables.empty()) {
      if (line.cut)
        judge.takeCut(&line, lines);
      else
        judge.take(line);
      // Rows that are not judged need not be read where their extent is
      // known; the block then counts as not read whole.
      if (judge.firstUnwantedRow(line)) {
        const std::uint64_t known = bytes.rowsKnownUpTo(line.offset);
        if (known > line.next) {
          lines.skipTo(known);
          lines.next(&line);  // the rest of a row line, or a whole one
          judge.reject();
        }
      }
      // The lines of wanted rows are only counted here (the judges lex
      // them): most of them go by in one tight loop.
      if (judge.inWantedRows()) {
        lines.takeWhole([&judge](std::string_view text, bool crlf, std::uint64_t next) {
          return judge.takeRow(text, crlf, next);
        });
      }
    } else if (!index.hasPreamble &&
               backup_format::startsWith(line.text, backup_format::kPreambleStart)) {
      index.hasPreamble = true;
      index.preamble = std::string(line.text);
    }
  }
  if (!index.tables.empty() && !inObject && !inIdentities)
    judge.finish(&index.tables.back());
  giveIdentities(identities, &index.tables);
  for (std::size_t table : judges.finish()) {
    index.tables[table].rowsTrusted = false;
    index.tables[table].blockWhole = false;
  }
  // A file that could not be read to its end is judged by what was read:
  // the last block is then not known to be whole (an object section cut
  // short differs from what the next run writes).
  if (lines.failed() && !index.tables.empty() && !inObject && !inIdentities) {
    index.tables.back().rowsTrusted = false;
    index.tables.back().blockWhole = false;
  }
  return index;
}

namespace {

// Rows with CR LF line ends: copied as they lie, in large pieces, while
// the file is the one that was indexed, unchanged since.
RowsResult copyCrLfRows(int fd, const PreviousTableEntry& entry,
                        BackupFile& out, RowProgress* progress) {
  RowsResult result;
  if (!sameFile(stampOf(fd), entry.file)) return result;
  const std::uint64_t total = entry.rowsEnd - entry.rowsBegin;
  for (std::uint64_t done = 0; done < total;) {
    const std::uint64_t piece = std::min<std::uint64_t>(total - done, kProgressStep);
    if (out.appendFrom(fd, entry.rowsBegin + done, piece) !=
        BackupFile::CopyOutcome::kCopied)
      return result;
    done += piece;
    if (progress != nullptr) {
      // Rows so far, as the share of the block's bytes copied tells them.
      const double share = static_cast<double>(done) / total;
      progress->advanceTo(static_cast<std::uint64_t>(entry.rowCount * share), done);
    }
  }
  // Still the same file: what was copied is what the index judged.
  if (!sameFile(stampOf(fd), entry.file)) return result;
  result.rows = entry.rowCount;
  result.whole = out.writeLine("");
  return result;
}

// Rows with CR LF line ends out of bytes that are not a file of their own:
// read in pieces and written as they are, while the file they come from is
// the one that was indexed.
RowsResult copyCrLfRowsRead(const PlainBytes& bytes,
                            const PreviousTableEntry& entry, BackupFile& out,
                            RowProgress* progress) {
  RowsResult result;
  if (!sameFile(bytes.stamp(), entry.file)) return result;
  const std::uint64_t total = entry.rowsEnd - entry.rowsBegin;
  std::string piece(kBlockSize, '\0');
  for (std::uint64_t done = 0; done < total;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(total - done, piece.size()));
    if (bytes.readAt(&piece[0], want, entry.rowsBegin + done) !=
            static_cast<ssize_t>(want) ||
        !out.writePart(std::string_view(piece.data(), want)))
      return result;
    done += want;
    if (progress != nullptr) {
      const double share = static_cast<double>(done) / total;
      progress->advanceTo(static_cast<std::uint64_t>(entry.rowCount * share), done);
    }
  }
  if (!sameFile(bytes.stamp(), entry.file)) return result;
  result.rows = entry.rowCount;
  result.whole = out.writeLine("");
  return result;
}

// Rows some of which end in a line feed alone: judged again line by line
// and written with CR LF.
RowsResult copyRowsByLine(const PlainBytes& bytes, const PreviousTableEntry& entry,
                          BackupFile& out, RowProgress* progress) {
  RowsResult result;
  row_lexer::RowForm form;
  form.shared = entry.rowsShared;
  form.prefix = entry.rowPrefix;
  form.head = entry.rowPrefix.substr(0, entry.rowPrefix.size() - 2);
  form.valueCount = entry.valueCount;
  row_lexer::RowLineJudge rows(form);
  FileLines lines(bytes, entry.rowsBegin, entry.rowsEnd + 2, kLineHeldStreaming);
  Line line;
  while (lines.next(&line) && !line.text.empty()) {
    if (line.cut) {
      // Written as it streams: a line found bad on the way leaves the copy
      // not whole, like any other.
      std::uint64_t length = 0;
      bool written = true;
      auto write = [&](std::string_view piece) {
        length += piece.size();
        written = written && out.writePart(piece);
      };
      if (!rows.takeCut(lines, &line, write) || !line.ended ||
          rows.rows() > entry.rowCount || !written || !out.writePart("\r\n"))
        return result;
      if (progress != nullptr) progress->tick(length + 2);
    } else {
      if (!line.ended || !rows.take(line.text) || rows.rows() > entry.rowCount ||
          !out.writeLine(line.text))
        return result;
      if (progress != nullptr) progress->tick(line.text.size() + 2);
    }
    result.rows = rows.rows();
  }
  const bool closed = line.ended && line.text.empty() &&
                      line.offset == entry.rowsEnd && rows.closed();
  result.whole = closed && result.rows == entry.rowCount && out.writeLine("");
  return result;
}

}  // namespace

RowsResult copyRows(int fd, const PreviousTableEntry& entry, BackupFile& out,
                    RowProgress* progress) {
  if (!entry.rowsTrusted || entry.rowsEnd <= entry.rowsBegin) return RowsResult();
  return entry.rowsCrLf ? copyCrLfRows(fd, entry, out, progress)
                        : copyRowsByLine(FileBytes(fd), entry, out, progress);
}

RowsResult copyRows(const PlainBytes& bytes, const PreviousTableEntry& entry,
                    BackupFile& out, RowProgress* progress) {
  if (!entry.rowsTrusted || entry.rowsEnd <= entry.rowsBegin) return RowsResult();
  return entry.rowsCrLf ? copyCrLfRowsRead(bytes, entry, out, progress)
                        : copyRowsByLine(bytes, entry, out, progress);
}

}  // namespace previous_backup
