// Reads back a log file written by the log writer: the message of each line
// (the text after the time stamp and ":\t"). A line not ended by CR LF, or
// without a 19-character time stamp before its separator, fails the test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace stavora {
namespace testing_support {

inline std::vector<std::string> LogMessagesIn(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> messages;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "log line without CR LF: " << text.substr(start);
      break;
    }
    const std::string line = text.substr(start, end - start);
    const std::size_t separator = line.find(":\t");
    EXPECT_EQ(19u, separator) << "no time stamp and separator in: " << line;
    if (separator != std::string::npos) messages.push_back(line.substr(separator + 2));
    start = end + 2;
  }
  return messages;
}

}  // namespace testing_support
}  // namespace stavora
