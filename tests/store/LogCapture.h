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

#include "tests/store/LogLines.h"

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

  // The message of each line; see LogMessagesIn.
  std::vector<std::string> Messages() const { return LogMessagesIn(LogFile()); }

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
