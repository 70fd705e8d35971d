// One log line as bytes: "YYYY/MM/DD HH:MM:SS", ":\t", the message, CR LF.
#pragma once

#include <ctime>
#include <string>

#include "platform/WString.h"

namespace stavora {

// The time stamp of `when`, "%Y/%m/%d %X" as the "C" locale formats it.
std::string FormatLogTimeStamp(const std::tm& when);

// The whole line for `message`: the message ends at its first zero code unit;
// code units 1 to 255 become the byte of that value and any code unit above
// 255 becomes '?', so the line always ends in its own CR LF.
std::string FormatLogLine(const std::tm& when, WStringView message);

}  // namespace stavora
