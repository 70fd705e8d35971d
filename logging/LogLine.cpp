// Formats log lines; see LogLine.h.
#include "logging/LogLine.h"

namespace stavora {

std::string FormatLogTimeStamp(const std::tm& when) {
  // In the "C" locale %X is %H:%M:%S; spelling it out keeps the stamp the
  // same whatever locale the host process has set.
  char buffer[64];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y/%m/%d %H:%M:%S", &when);
  return std::string(buffer, length);
}

std::string FormatLogLine(const std::tm& when, WStringView message) {
  const std::size_t end = message.find(u'\0');
  if (end != WStringView::npos) message = message.substr(0, end);

  std::string line = FormatLogTimeStamp(when);
  line.reserve(line.size() + 2 + message.size() + 2);
  line += ":\t";
  for (const char16_t unit : message) {
    line += unit <= 0xFF ? static_cast<char>(static_cast<unsigned char>(unit)) : '?';
  }
  line += "\r\n";
  return line;
}

}  // namespace stavora
