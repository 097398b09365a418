// Conversions between local date-time texts and time values. Every time
// value of the program is made here, with one convention, so that the same
// local date-time always gives the same value.
#ifndef VKT_BACKUP_LOCAL_TIME_H_
#define VKT_BACKUP_LOCAL_TIME_H_

#include <ctime>
#include <string>

namespace local_time {

// Local broken-down fields (month 1..12) to a time value. False when the
// fields are out of range, or name a local time that does not exist (the
// skipped hour in spring) or that is ambiguous (the repeated hour in
// autumn): such a time cannot be compared safely.
bool fromFields(int year, int month, int day, int hour, int minute, int second,
                time_t* out);

// The server's "YYYY-MM-DD hh:mm:ss" (exactly 19 characters) as the
// session gives it with time_zone '+00:00': a UTC time, which names one
// instant also where local time repeats an hour.
bool fromServerText(const std::string& text, time_t* out);

// A comment line's "dd.mm.YYYY HH:MM:SS" (exactly 19 characters).
bool fromCommentText(const std::string& text, time_t* out);

// strftime of localtime(t) into a 100-byte buffer; "" when t cannot be
// converted.
std::string format(time_t t, const char* pattern);

}  // namespace local_time

#endif  // VKT_BACKUP_LOCAL_TIME_H_
