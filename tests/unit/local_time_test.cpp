// Local date-time texts and time values, in a zone with daylight saving
// (the tests run with TZ=Europe/Berlin).
#include <gtest/gtest.h>

#include <cstdlib>

#include "backup/backup_format.h"
#include "backup/local_time.h"

namespace {

class LocalTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
};

time_t utc(int y, int mo, int d, int h, int mi, int s) {
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return timegm(&t);
}

}  // namespace

TEST_F(LocalTimeTest, ReadsServerTextsAsUtcAndCommentTextsAsLocalTime) {
  time_t server = 0, comment = 0;
  ASSERT_TRUE(local_time::fromServerText("2006-03-15 13:07:09", &server));
  ASSERT_TRUE(local_time::fromCommentText("15.03.2006 14:07:09", &comment));
  EXPECT_EQ(server, comment);
  EXPECT_EQ(server, utc(2006, 3, 15, 13, 7, 9));  // CET is UTC+1
  ASSERT_TRUE(local_time::fromCommentText("15.07.2006 14:07:09", &comment));
  EXPECT_EQ(comment, utc(2006, 7, 15, 12, 7, 9));  // CEST is UTC+2
}

TEST_F(LocalTimeTest, EveryWrittenSecondAroundBothClockChangesReadsBack) {
  // Spring 2025: 30 March 02:00 CET -> 03:00 CEST.
  // Autumn 2025: 26 October 03:00 CEST -> 02:00 CET (02:00-02:59 twice).
  // Every 7 s near the changes, every 61 s from two days before to two
  // days after (where reading takes the short way once a day away).
  const time_t ranges[][3] = {
      {utc(2025, 3, 30, 0, 0, 0), utc(2025, 3, 30, 2, 0, 0), 7},
      {utc(2025, 10, 25, 23, 30, 0), utc(2025, 10, 26, 2, 30, 0), 7},
      {utc(2025, 3, 28, 1, 0, 0), utc(2025, 4, 1, 1, 0, 0), 61},
      {utc(2025, 10, 24, 1, 0, 0), utc(2025, 10, 28, 1, 0, 0), 61}};
  for (const auto& range : ranges) {
    for (time_t t = range[0]; t < range[1]; t += range[2]) {
      std::string text =
          local_time::format(t, backup_format::kCommentDatePattern);
      ASSERT_EQ(text.size(), 19u);
      time_t back = 0;
      bool known = local_time::fromCommentText(text, &back);
      // Only the repeated autumn hour is ambiguous; it reads as unknown.
      bool repeated = text.compare(0, 13, "26.10.2025 02") == 0;
      EXPECT_EQ(known, !repeated) << text;
      if (known) {
        EXPECT_EQ(back, t) << text;
      }
    }
  }
}

TEST_F(LocalTimeTest, SkippedAndRepeatedHoursAreUnknown) {
  time_t t = 0;
  EXPECT_FALSE(local_time::fromCommentText("30.03.2025 02:30:00", &t));
  EXPECT_FALSE(local_time::fromCommentText("26.10.2025 02:30:00", &t));
  EXPECT_FALSE(local_time::fromCommentText("26.10.2025 02:00:00", &t));
  EXPECT_TRUE(local_time::fromCommentText("30.03.2025 03:00:00", &t));
  EXPECT_EQ(t, utc(2025, 3, 30, 1, 0, 0));
  EXPECT_TRUE(local_time::fromCommentText("26.10.2025 03:00:00", &t));
  EXPECT_EQ(t, utc(2025, 10, 26, 2, 0, 0));
  EXPECT_TRUE(local_time::fromCommentText("26.10.2025 01:59:59", &t));
  EXPECT_EQ(t, utc(2025, 10, 25, 23, 59, 59));
}

// Two changes an hour apart in the repeated hour: the server's times are
// two instants, and the local text both share is never read as either.
TEST_F(LocalTimeTest, ChangesAnHourApartInTheRepeatedHourStayApart) {
  time_t first = 0, second = 0;
  ASSERT_TRUE(local_time::fromServerText("2025-10-26 00:30:00", &first));
  ASSERT_TRUE(local_time::fromServerText("2025-10-26 01:30:00", &second));
  EXPECT_EQ(first, utc(2025, 10, 26, 0, 30, 0));
  EXPECT_EQ(second - first, 3600);
  const std::string text = local_time::format(first, backup_format::kCommentDatePattern);
  EXPECT_EQ(text, local_time::format(second, backup_format::kCommentDatePattern));
  time_t read = 0;
  EXPECT_FALSE(local_time::fromCommentText(text, &read)) << text;
}

TEST_F(LocalTimeTest, MalformedTextsAreUnknown) {
  const char* serverTexts[] = {"", "2006-03-15 14:07:0", "2006-03-15 14:07:090",
                               "2006-13-15 14:07:09", "2006-02-30 14:07:09",
                               "2006-03-15 24:00:00", "2006-03-15T14:07:09",
                               "20x6-03-15 14:07:09", "-006-03-15 14:07:09",
                               "2006-03-15 14:07:+9"};
  for (const char* text : serverTexts) {
    time_t t = 12345;
    EXPECT_FALSE(local_time::fromServerText(text, &t)) << text;
  }
  const char* commentTexts[] = {"", "15.03.2006 14:07:9", "15.03.2006 14:07",
                                "32.03.2006 14:07:09", "15-03-2006 14:07:09",
                                "15.03.2006 14:07:09 "};
  for (const char* text : commentTexts) {
    time_t t = 12345;
    EXPECT_FALSE(local_time::fromCommentText(text, &t)) << text;
  }
  time_t t = 0;
  EXPECT_FALSE(local_time::fromCommentText(std::string("15.03.2006\0 4:07:09", 19), &t));
}

// A zone without summer time: every time reads back, also -1.
TEST(LocalTimeWithoutSummerTime, EveryTimeReadsBack) {
  setenv("TZ", "UTC", 1);
  tzset();
  for (time_t t : {time_t{-1}, time_t{0}, utc(2025, 3, 30, 2, 30, 0),
                   utc(2025, 10, 26, 2, 30, 0), utc(2026, 12, 7, 23, 59, 59)}) {
    time_t back = 12345;
    EXPECT_TRUE(local_time::fromCommentText(
        local_time::format(t, backup_format::kCommentDatePattern), &back));
    EXPECT_EQ(back, t);
  }
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
}

TEST_F(LocalTimeTest, TimeBeforeTheEpochStillConverts) {
  time_t t = 0;
  // -1 is a valid time value here, not an error.
  ASSERT_TRUE(local_time::fromServerText("1969-12-31 23:59:59", &t));
  EXPECT_EQ(t, -1);
}
