// The log writer and GetFileSize on the real Win32 services.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "logging/FileSize.h"
#include "logging/Logger.h"

namespace stavora {
namespace {

std::wstring TempPath() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return std::wstring(buffer, length);
}

WString ToW(const std::wstring& text) { return WString(reinterpret_cast<const char16_t*>(text.c_str()), text.size()); }

TEST(LoggerWin32, WritesOneLine) {
  const std::wstring dir = TempPath() + L"Kestrane\\Log";
  CreateDirectoryW((TempPath() + L"Kestrane").c_str(), nullptr);
  CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring log = dir + L"\\Stavora.log";
  DeleteFileW(log.c_str());
  Logger* logger = Logger::GetInstance();
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(logger->LogPath(), ToW(log));
  logger->Write(u"Test(): hello.");
  EXPECT_EQ(GetFileSize(ToW(log)), 37);  // 19 + 2 + 14 + CR LF
}

}  // namespace
}  // namespace stavora
