// The bytes of one log line: stamp, ":\t", message to its first zero, CR LF.
#include "logging/LogLine.h"

#include <gtest/gtest.h>

namespace stavora {
namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second) {
  std::tm when{};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_sec = second;
  return when;
}

TEST(LogLine, StampIsZeroPaddedOnA24HourClock) {
  EXPECT_EQ(FormatLogTimeStamp(At(2026, 12, 8, 6, 8, 20)), "2026/12/08 06:08:20");
  EXPECT_EQ(FormatLogTimeStamp(At(1999, 1, 31, 23, 59, 59)), "1999/01/31 23:59:59");
  EXPECT_EQ(FormatLogTimeStamp(At(2030, 7, 1, 0, 0, 0)), "2030/07/01 00:00:00");
}

TEST(LogLine, WholeLineBytes) {
  EXPECT_EQ(FormatLogLine(At(2026, 12, 8, 6, 8, 20),
                          u"StartFileNotificationThread(): Failed to create thread."),
            "2026/12/08 06:08:20:\tStartFileNotificationThread(): Failed to create thread.\r\n");
  EXPECT_EQ(FormatLogLine(At(2026, 12, 8, 6, 8, 20), u""), "2026/12/08 06:08:20:\t\r\n");
}

TEST(LogLine, MessageEndsAtItsFirstZero) {
  const WString message(u"LoadRegistry(): cut\0 not this\0", 30);
  EXPECT_EQ(FormatLogLine(At(2026, 1, 2, 3, 4, 5), message), "2026/01/02 03:04:05:\tLoadRegistry(): cut\r\n");
  const WString leadingZero(u"\0all gone", 9);
  EXPECT_EQ(FormatLogLine(At(2026, 1, 2, 3, 4, 5), leadingZero), "2026/01/02 03:04:05:\t\r\n");
}

TEST(LogLine, CodeUnitsUpTo255AreSingleBytesAndAboveAreQuestionMarks) {
  // é (233) and ÿ (255) keep their byte; Ω (937), € (8364), a surrogate pair
  // (two units) and U+0100 become '?', and the line still ends in CR LF.
  const std::string line =
      FormatLogLine(At(2026, 1, 2, 3, 4, 5), u"C:\\Temp\\caf\u00e9\u00ff\\\u03a9\u20ac\U0001F600\u0100.ini");
  EXPECT_EQ(line, "2026/01/02 03:04:05:\tC:\\Temp\\caf\xe9\xff\\?????.ini\r\n");
  // Control characters pass through as they are; only the stream's own end
  // of line is added.
  EXPECT_EQ(FormatLogLine(At(2026, 1, 2, 3, 4, 5), u"a\tb\x01"), "2026/01/02 03:04:05:\ta\tb\x01\r\n");
}

}  // namespace
}  // namespace stavora
