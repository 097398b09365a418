// Checks arbitrary bytes as a backup file: plain, and, for bytes that
// begin like zstd frames, as a compressed file read in place. The check
// must end on every input with a report, never crash or read out of
// bounds; a report that holds must name no fault, and one that fails at
// least one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

#include "backup/backup_check.h"
#include "backup/zstd_frames.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void judge(const backup_check::Report& report) {
  check(report.holds() == (report.faults.empty() && report.faultsLeftOut == 0));
  check(report.faults.size() <= backup_check::kFaultsKept);
  for (const backup_check::Fault& fault : report.faults) check(!fault.why.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const backup_check::Report plain = backup_check::checkText(bytes);
  judge(plain);
  check(plain.summary.bytes == size);

  if (size >= 4 && static_cast<unsigned char>(bytes[0]) == 0x28) {
    static const std::string name =
        "/tmp/vkt-fuzz-check-" + std::to_string(getpid()) + ".sql.zst";
    FILE* file = std::fopen(name.c_str(), "wb");
    check(file != nullptr);
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    judge(backup_check::checkFile(name));
    unlink(name.c_str());
  }
  return 0;
}
