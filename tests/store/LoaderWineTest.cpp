// The loader over the real GetPrivateProfileStringW, on files this test
// writes, with the real log writer under the prefix's temporary directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "store/ProfileSourceWin32.h"
#include "store/Loader.h"

#include "logging/Logger.h"
#include "tests/store/LogLines.h"

namespace stavora {
namespace {

WString TempDirectory() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  EXPECT_NE(0u, length) << "GetTempPathW failed, error " << GetLastError();
  return WString(reinterpret_cast<const char16_t*>(buffer), length);
}

const wchar_t* Wide(const WString& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::string Narrow(const WString& text) {
  std::string narrow;
  for (char16_t unit : text) narrow += unit < 128 ? static_cast<char>(unit) : '?';
  return narrow;
}

// One load with a history of its own, its lines written as the lookup
// object writes them.
LoadResult LoadOnce(SectionMap& sections, IStoreLock& lock, IProfileSource& source,
                    const WString& path) {
  ServedStore served(sections, lock);
  const LoadReport report = LoadStore(served, source, path);
  WriteLogLines(report.logLines);
  return report.result;
}

// A store lock that counts how often it is held; 0 when every Enter was left.
struct CountingLock final : IStoreLock {
  void Enter() override { ++held; }
  void Leave() override { --held; }
  int held = 0;
};

// Counts the service's calls and can report a smaller file size than the
// real one, so that the real service cuts lists and values short.
class CountingSource final : public IProfileSource {
 public:
  std::uint32_t GetString(const char16_t* section, const char16_t* key, char16_t* buffer,
                          std::uint32_t size, const WString& path) override {
    sizes.push_back(size);
    if (section == nullptr) ++sectionListCalls;
    return m_real.GetString(section, key, buffer, size, path);
  }
  std::int64_t GetFileSize(const WString& path) override {
    return reportedSize >= 0 ? reportedSize : m_real.GetFileSize(path);
  }
  FileState GetFileState(const WString& path) override { return m_real.GetFileState(path); }

  std::int64_t reportedSize = -1;  // below 0: ask the real file
  std::vector<std::uint32_t> sizes;
  int sectionListCalls = 0;

 private:
  ProfileSourceWin32 m_real;
};

class LoaderWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const WString temp = TempDirectory();
    m_folder = temp + u"stavora-store-" + ToText(GetCurrentProcessId()) + u"\\";
    ASSERT_TRUE(CreateDirectoryW(Wide(m_folder), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        << "cannot create " << Narrow(m_folder) << ", error " << GetLastError();
    // The log writer drops lines when its folder is missing; make it here.
    CreateDirectoryW(Wide(temp + u"Kestrane"), nullptr);
    CreateDirectoryW(Wide(temp + u"Kestrane\\Log"), nullptr);
    m_logPath = temp + u"Kestrane\\Log\\Stavora.log";
    DeleteFileW(Wide(m_logPath));  // absent already is fine
  }

  void TearDown() override {
    for (const WString& file : m_files) DeleteFileW(Wide(file));
    RemoveDirectoryW(Wide(m_folder));
  }

  static WString ToText(unsigned long number) {
    const std::string digits = std::to_string(number);
    return WString(digits.begin(), digits.end());
  }

  // Writes `bytes` as they are to a file of the test folder; returns its path.
  WString WriteFile(const char16_t* name, const std::string& bytes) {
    const WString path = m_folder + name;
    std::ofstream out(std::filesystem::path(Wide(path)), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    EXPECT_TRUE(out.good()) << "cannot write " << Narrow(path);
    m_files.push_back(path);
    return path;
  }

  // A UTF-16LE file with its byte-order mark.
  WString WriteUtf16File(const char16_t* name, const WString& text) {
    std::string bytes = "\xff\xfe";
    for (char16_t unit : text) {
      bytes += static_cast<char>(unit & 0xff);
      bytes += static_cast<char>(unit >> 8);
    }
    return WriteFile(name, bytes);
  }

  SectionMap Load(const WString& path) {
    ProfileSourceWin32 source;
    SectionMap sections;
    LoadOnce(sections, m_lock, source, path);
    EXPECT_EQ(0, m_lock.held) << "the store lock was not left";
    return sections;
  }

  // The message part of each log line; lines must end in CR LF.
  std::vector<std::string> LogMessages() {
    return testing_support::LogMessagesIn(std::filesystem::path(Wide(m_logPath)));
  }

  WString m_folder;
  WString m_logPath;
  std::vector<WString> m_files;
  CountingLock m_lock;
};

TEST_F(LoaderWineTest, SectionsAndKeysComeOutUpperCasedInCodeUnitOrder) {
  const WString path = WriteFile(u"order.ini",
                                 "[Beta]\r\nb=2\r\n[alpha]\r\nA=1\r\nPath=D:\\Data\r\n");
  const SectionMap expected = {
      {u"ALPHA", {{u"A", u"1"}, {u"PATH", u"D:\\Data"}}},
      {u"BETA", {{u"B", u"2"}}},
  };
  EXPECT_EQ(expected, Load(path));
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
}

TEST_F(LoaderWineTest, SectionsDifferingInCaseBecomeOneHoldingTheFirst) {
  const WString path = WriteFile(u"dup.ini", "[Foo]\nk=1\nK=9\n[FOO]\nk=2\nj=3\n");
  // The service finds the first [Foo] for FOO and the first k for K.
  EXPECT_EQ((SectionMap{{u"FOO", {{u"K", u"1"}}}}), Load(path));
}

TEST_F(LoaderWineTest, Utf16FileWithByteOrderMark) {
  const WString path = WriteUtf16File(
      u"wide.ini", u"[Gr\u00f6\u00dfe]\r\nschl\u00fcssel=Wert \u20ac\r\n[\u4e2d]\r\nx=y\r\n");
  const SectionMap expected = {
      {u"GR\u00f6\u00dfE", {{u"SCHL\u00fcSSEL", u"Wert \u20ac"}}},
      {u"\u4e2d", {{u"X", u"y"}}},
  };
  EXPECT_EQ(expected, Load(path));
}

TEST_F(LoaderWineTest, KeylessSectionAndEmptyValueAreKept) {
  const WString path =
      WriteFile(u"empty-parts.ini", "[first]\r\n[second]\r\nk=\r\nm=v\r\n[third]\r\nz=1\r\n");
  const SectionMap expected = {
      {u"FIRST", {}},
      {u"SECOND", {{u"K", u""}, {u"M", u"v"}}},
      {u"THIRD", {{u"Z", u"1"}}},
  };
  EXPECT_EQ(expected, Load(path));
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
}

TEST_F(LoaderWineTest, EmptyFileLogsTheSectionsLine) {
  const WString path = WriteFile(u"empty.ini", "");
  EXPECT_EQ(SectionMap{}, Load(path));
  EXPECT_EQ(std::vector<std::string>{
                "LoadRegistry(): GetPrivateProfileString() failed to retrieve sections."},
            LogMessages());
}

TEST_F(LoaderWineTest, MissingFileLogsBothLinesAndEmptiesTheStore) {
  const WString present = WriteFile(u"present.ini", "[s]\nk=v\n");
  SectionMap sections;
  ProfileSourceWin32 source;
  LoadOnce(sections, m_lock, source, present);
  ASSERT_EQ(1u, sections.size());

  // A missing file replaces what was served once a second read finds it
  // still missing: the first find is held.
  const WString missing = m_folder + u"MISSING.INI";
  ServedStore served(sections, m_lock);
  EXPECT_EQ(LoadResult::kHeldEmpty, LoadStore(served, source, missing).result);
  EXPECT_EQ(1u, sections.size());
  const LoadReport confirmed = LoadStore(served, source, missing);
  EXPECT_EQ(LoadResult::kServed, confirmed.result);
  WriteLogLines(confirmed.logLines);
  EXPECT_EQ(SectionMap{}, sections);
  EXPECT_EQ((std::vector<std::string>{
                "GetFileSize(): Failed to get file handle or file size for " + Narrow(missing),
                "LoadRegistry(): GetPrivateProfileString() failed to retrieve sections."}),
            LogMessages());
}

TEST_F(LoaderWineTest, ListsAndValuesCutShortByTheRealServiceAreReadAgain) {
  // The list "AAAA\0BBBB\0CCCC\0" is 15 code units.
  const WString path =
      WriteFile(u"cut.ini", "[AAAA]\nk=0123456789012345678901234567890123456789\n[BBBB]\nk=2\n"
                            "[CCCC]\nk=3\n");
  const SectionMap expected = {
      {u"AAAA", {{u"K", u"0123456789012345678901234567890123456789"}}},
      {u"BBBB", {{u"K", u"2"}}},
      {u"CCCC", {{u"K", u"3"}}},
  };
  // Buffers of 16 and 17: the whole list and its final zero just fit, or
  // fit with one unit to spare; either answer may be cut short, so both are
  // asked again with twice the room.
  for (std::int64_t reported : {15, 16}) {
    CountingSource source;
    source.reportedSize = reported;
    SectionMap sections;
    LoadOnce(sections, m_lock, source, path);
    EXPECT_EQ(expected, sections) << "file size given as " << reported;
    EXPECT_EQ(2, source.sectionListCalls) << "file size given as " << reported;
    ASSERT_FALSE(source.sizes.empty());
    EXPECT_EQ(static_cast<std::uint32_t>(reported + 1), source.sizes.front());
  }
  // A buffer of 18 holds the list with room for a cut answer's two zeros.
  CountingSource roomy;
  roomy.reportedSize = 17;
  SectionMap sections;
  LoadOnce(sections, m_lock, roomy, path);
  EXPECT_EQ(expected, sections);
  EXPECT_EQ(1, roomy.sectionListCalls);
  EXPECT_EQ(std::vector<std::string>{}, LogMessages());
}

TEST_F(LoaderWineTest, FullLoadMakesOneCallPerListAndValue) {
  std::string text;
  for (int s = 0; s < 20; ++s) {
    text += "[section" + std::to_string(s) + "]\r\n";
    for (int k = 0; k < 5; ++k) text += "key" + std::to_string(k) + "=v" + std::to_string(s * k) + "\r\n";
  }
  const WString path = WriteFile(u"many.ini", text);
  CountingSource source;
  SectionMap sections;
  LoadOnce(sections, m_lock, source, path);
  EXPECT_EQ(1u + 20u + 100u, source.sizes.size());
  ASSERT_EQ(20u, sections.size());
  EXPECT_EQ(u"v12", sections.at(u"SECTION4").at(u"KEY3"));
  EXPECT_EQ(static_cast<std::uint32_t>(text.size() + 1), source.sizes.front());
}

}  // namespace
}  // namespace stavora
