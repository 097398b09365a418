#include "backup/local_time.h"

#include <cctype>
#include <mutex>

namespace local_time {
namespace {

// The C library keeps the zone in state shared by all threads, behind a
// lock of its own that thread checkers cannot see; the previous backup is
// indexed on a thread of its own while the inventory converts times. Every
// conversion here holds this lock, so that they are seen in one order.
std::mutex& zoneLock() {
  static std::mutex lock;
  return lock;
}

bool sameFields(const std::tm& a, const std::tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon &&
         a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
         a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// mktime with a fixed daylight-saving flag; true when the result denotes
// exactly the requested local fields under that flag.
bool tryConvert(const std::tm& wanted, int isdst, time_t* out) {
  std::tm probe = wanted;
  probe.tm_isdst = isdst;
  time_t t = std::mktime(&probe);
  if (t == static_cast<time_t>(-1)) {
    // -1 is also 23:59:59 on 31.12.1969 UTC; tell the two apart.
    std::tm check;
    if (localtime_r(&t, &check) == nullptr || !sameFields(check, wanted))
      return false;
  }
  if (!sameFields(probe, wanted) || probe.tm_isdst != isdst) return false;
  *out = t;
  return true;
}

// Reads `count` decimal digits at text[pos]; false on any other character.
bool digits(const std::string& text, size_t pos, size_t count, int* value) {
  int v = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isdigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

// The zone's offset from UTC at `t`; false when `t` cannot be converted.
bool offsetAt(time_t t, long* offset) {
  std::tm broken;
  if (localtime_r(&t, &broken) == nullptr) return false;
  *offset = broken.tm_gmtoff;
  return true;
}

// Where the zone keeps one offset from a day before to a day after, the
// fields name exactly one time, which mktime finds without trying both
// daylight-saving flags (in a zone without summer time, trying the summer
// flag makes mktime search far and wide). False elsewhere: near a change
// of the offset only the full test tells.
bool convertAwayFromChanges(const std::tm& wanted, time_t* out) {
  std::tm probe = wanted;
  probe.tm_isdst = -1;
  const time_t t = std::mktime(&probe);
  if (t == static_cast<time_t>(-1) || !sameFields(probe, wanted)) return false;
  long before = 0;
  long after = 0;
  if (!offsetAt(t - 86400, &before) || !offsetAt(t + 86400, &after) ||
      before != probe.tm_gmtoff || after != probe.tm_gmtoff)
    return false;
  *out = t;
  return true;
}

// The fields as a broken-down time; false when one is out of its range.
bool brokenDown(int year, int month, int day, int hour, int minute,
                int second, std::tm* out) {
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 59 || year < 1900 || year > 9999)
    return false;
  *out = std::tm{};
  out->tm_year = year - 1900;
  out->tm_mon = month - 1;
  out->tm_mday = day;
  out->tm_hour = hour;
  out->tm_min = minute;
  out->tm_sec = second;
  return true;
}

}  // namespace

bool fromFields(int year, int month, int day, int hour, int minute, int second,
                time_t* out) {
  std::tm wanted;
  if (!brokenDown(year, month, day, hour, minute, second, &wanted))
    return false;
  std::lock_guard<std::mutex> zone(zoneLock());
  if (convertAwayFromChanges(wanted, out)) return true;
  time_t standard = 0;
  time_t summer = 0;
  bool asStandard = tryConvert(wanted, 0, &standard);
  bool asSummer = tryConvert(wanted, 1, &summer);
  if (asStandard && asSummer) {
    if (standard != summer) return false;  // the repeated hour
    *out = standard;
    return true;
  }
  if (asStandard == asSummer) return false;  // the skipped hour
  *out = asStandard ? standard : summer;
  return true;
}

bool fromServerText(const std::string& text, time_t* out) {
  int y, mo, d, h, mi, s;
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' ||
      text[10] != ' ' || text[13] != ':' || text[16] != ':')
    return false;
  if (!digits(text, 0, 4, &y) || !digits(text, 5, 2, &mo) ||
      !digits(text, 8, 2, &d) || !digits(text, 11, 2, &h) ||
      !digits(text, 14, 2, &mi) || !digits(text, 17, 2, &s))
    return false;
  std::tm wanted;
  if (!brokenDown(y, mo, d, h, mi, s, &wanted)) return false;
  std::lock_guard<std::mutex> zone(zoneLock());
  const time_t t = timegm(&wanted);
  std::tm check;
  // timegm moves 30 February on to March: such a text names no time.
  if (gmtime_r(&t, &check) == nullptr || check.tm_year != y - 1900 ||
      check.tm_mon != mo - 1 || check.tm_mday != d)
    return false;
  *out = t;
  return true;
}

bool fromCommentText(const std::string& text, time_t* out) {
  int y, mo, d, h, mi, s;
  if (text.size() != 19 || text[2] != '.' || text[5] != '.' ||
      text[10] != ' ' || text[13] != ':' || text[16] != ':')
    return false;
  if (!digits(text, 0, 2, &d) || !digits(text, 3, 2, &mo) ||
      !digits(text, 6, 4, &y) || !digits(text, 11, 2, &h) ||
      !digits(text, 14, 2, &mi) || !digits(text, 17, 2, &s))
    return false;
  return fromFields(y, mo, d, h, mi, s, out);
}

std::string format(time_t t, const char* pattern) {
  std::lock_guard<std::mutex> zone(zoneLock());
  std::tm broken;
  if (localtime_r(&t, &broken) == nullptr) return "";
  char buffer[100];
  size_t n = std::strftime(buffer, sizeof buffer, pattern, &broken);
  return std::string(buffer, n);
}

}  // namespace local_time
