// Native runs: the log writer's temporary directory is a fresh folder of this
// test program's own, and tests read back the messages written to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace stavora {
namespace testing_support {

class LogDirectory {
 public:
  // Sets TMPDIR before anything logs; the log writer reads it once.
  LogDirectory() {
    char pattern[] = "/tmp/stavora-store-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    m_root = made;
    std::filesystem::create_directories(m_root / "Kestrane" / "Log");
    const std::string withSeparator = m_root.string() + "/";
    setenv("TMPDIR", withSeparator.c_str(), 1);
  }
  ~LogDirectory() {
    std::error_code ignored;  // a leftover folder in /tmp is harmless
    std::filesystem::remove_all(m_root, ignored);
  }

  std::filesystem::path LogFile() const { return m_root / "Kestrane" / "Log" / "Stavora.log"; }

  void Clear() const {
    std::error_code ignored;  // absent already is fine
    std::filesystem::remove(LogFile(), ignored);
  }

  // The message of each line (the text after ":\t"); a line not ended by
  // CR LF or without the separator fails the calling test.
  std::vector<std::string> Messages() const {
    std::ifstream in(LogFile(), std::ios::binary);
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
      if (separator == std::string::npos) {
        ADD_FAILURE() << "log line without \":\\t\": " << line;
      } else {
        messages.push_back(line.substr(separator + 2));
      }
      start = end + 2;
    }
    return messages;
  }

 private:
  std::filesystem::path m_root;
};

// The one directory of this program, created before any test runs.
inline LogDirectory& TestLogDirectory() {
  static LogDirectory directory;
  return directory;
}

}  // namespace testing_support
}  // namespace stavora
