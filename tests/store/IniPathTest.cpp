// Which INI path a lookup object serves, and how it is split for the watcher.
#include "store/IniPath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace stavora {
namespace {

// Registry status codes the Win32 reader passes on (ERROR_FILE_NOT_FOUND,
// ERROR_MORE_DATA); the logic only distinguishes success from the rest.
constexpr std::int32_t kValueMissing = 2;
constexpr std::int32_t kMoreData = 234;

// Stands in for the registry: stores `data` as the query would (at most the
// room it is given) and reports `status`. `reportedBytes` overrides the byte
// count it claims, to model data without a terminator or odd sizes.
class FakeReader final : public IPathValueReader {
 public:
  explicit FakeReader(std::int32_t status, WString data = WString(), long reportedBytes = -1)
      : m_status(status), m_data(std::move(data)), m_reportedBytes(reportedBytes) {}

  std::int32_t ReadPathValue(char16_t* buffer, std::uint32_t& byteCount) override {
    ++calls;
    roomGiven = byteCount;
    lastUnitBefore = buffer[kIniPathBufferUnits - 1];
    const std::size_t room = byteCount / sizeof(char16_t);
    std::copy_n(m_data.begin(), std::min(room, m_data.size()), buffer);
    if (m_status == kPathValueRead) {
      byteCount = m_reportedBytes >= 0
                      ? static_cast<std::uint32_t>(m_reportedBytes)
                      : static_cast<std::uint32_t>(m_data.size() * sizeof(char16_t));
    }
    return m_status;
  }

  int calls = 0;
  std::uint32_t roomGiven = 0;
  char16_t lastUnitBefore = u'?';

 private:
  std::int32_t m_status;
  WString m_data;
  long m_reportedBytes;
};

// A value as a registry string holds it: the text and its terminator.
WString Terminated(const WString& text) { return text + u'\0'; }

struct Located {
  WString path, directory, fileName;
};

Located Split(WString path) {
  IniLocation location = LocateIniFile(std::move(path));
  return {location.path, location.directory, location.fileName};
}

Located Resolve(IPathValueReader& reader) { return Split(ConfiguredIniPath(reader)); }

void ExpectLocation(const Located& got, const WString& path, const WString& directory,
                    const WString& fileName) {
  EXPECT_EQ(got.path, path) << "path";
  EXPECT_EQ(got.directory, directory) << "directory";
  EXPECT_EQ(got.fileName, fileName) << "file name";
}

TEST(IniPathChoice, DefaultWhenTheValueCannotBeRead) {
  FakeReader missing(kValueMissing);
  ExpectLocation(Resolve(missing), u"C:\\KRN\\API\\VENDARA\\STAVORA\\STAVORA.INI",
                 u"C:\\KRN\\API\\VENDARA\\STAVORA", u"STAVORA.INI");
  EXPECT_EQ(missing.calls, 1);
}

TEST(IniPathChoice, QueryIsLimitedTo1023UnitsWithTheLastUnitZero) {
  FakeReader reader(kValueMissing);
  ConfiguredIniPath(reader);
  EXPECT_EQ(reader.roomGiven, 2046u) << "room given in bytes";
  EXPECT_EQ(reader.lastUnitBefore, u'\0') << "last buffer unit before the query";
}

TEST(IniPathChoice, TooLongValueFallsBackToTheDefault) {
  // The query fills its room and reports ERROR_MORE_DATA: the partial data
  // left in the buffer must not be used.
  FakeReader tooLong(kMoreData, WString(2000, u'x'));
  EXPECT_EQ(ConfiguredIniPath(tooLong), kDefaultIniPath);
}

TEST(IniPathChoice, ValueUpToItsFirstZero) {
  FakeReader twoStrings(kPathValueRead, WString(u"d:\\a.ini\0e:\\b.ini\0", 19));
  EXPECT_EQ(ConfiguredIniPath(twoStrings), u"d:\\a.ini");
}

TEST(IniPathChoice, DataWithoutTerminatorIsReadOnlyAsFarAsReturned) {
  // The reader leaves more text in the buffer than it reports storing; only
  // the reported bytes count.
  FakeReader unterminated(kPathValueRead, u"d:\\cfg\\api.iniGARBAGE", 14 * 2);
  EXPECT_EQ(ConfiguredIniPath(unterminated), u"d:\\cfg\\api.ini");

  // A full-size value without terminator: all 1023 units, nothing beyond.
  FakeReader full(kPathValueRead, WString(1023, u'p'));
  EXPECT_EQ(ConfiguredIniPath(full), WString(1023, u'p'));

  // An odd byte count (REG_BINARY data, say) yields whole units only.
  FakeReader odd(kPathValueRead, u"abc", 5);
  EXPECT_EQ(ConfiguredIniPath(odd), u"ab");

  // A count beyond the room given is not believed beyond that room.
  FakeReader overclaiming(kPathValueRead, WString(1023, u'q'), 1 << 20);
  EXPECT_EQ(ConfiguredIniPath(overclaiming), WString(1023, u'q'));
}

TEST(IniPathLocation, ValueIsUpperCasedAndSplitAtTheLastBackslash) {
  FakeReader reader(kPathValueRead, Terminated(u"d:\\Cfg\\Api.ini"));
  ExpectLocation(Resolve(reader), u"D:\\CFG\\API.INI", u"D:\\CFG", u"API.INI");
}

TEST(IniPathLocation, NoBackslashGivesTheWholePathTwice) {
  FakeReader reader(kPathValueRead, Terminated(u"Api.ini"));
  ExpectLocation(Resolve(reader), u"API.INI", u"API.INI", u"API.INI");
}

TEST(IniPathLocation, TrailingBackslashGivesAnEmptyFileName) {
  FakeReader reader(kPathValueRead, Terminated(u"d:\\Cfg\\"));
  ExpectLocation(Resolve(reader), u"D:\\CFG\\", u"D:\\CFG", u"");
}

TEST(IniPathLocation, NonAsciiLettersAreKept) {
  FakeReader reader(kPathValueRead, Terminated(u"d:\\gr\u00f6\u00dfe\\\u00e9t\u00e9.ini"));
  ExpectLocation(Resolve(reader), u"D:\\GR\u00f6\u00dfE\\\u00e9T\u00e9.INI",
                 u"D:\\GR\u00f6\u00dfE", u"\u00e9T\u00e9.INI");
}

TEST(IniPathLocation, EnvironmentReferencesAreTakenLiterally) {
  FakeReader reader(kPathValueRead, Terminated(u"%WINDIR%\\x.ini"));
  ExpectLocation(Resolve(reader), u"%WINDIR%\\X.INI", u"%WINDIR%", u"X.INI");
}

TEST(IniPathLocation, EmptyValueGivesEmptyPathDirectoryAndFileName) {
  FakeReader terminatedEmpty(kPathValueRead, Terminated(u""));
  ExpectLocation(Resolve(terminatedEmpty), u"", u"", u"");
  FakeReader noData(kPathValueRead, u"");
  ExpectLocation(Resolve(noData), u"", u"", u"");
}

TEST(IniPathLocation, RootedFileKeepsAnEmptyOrDriveDirectory) {
  ExpectLocation(Split(u"\\a.ini"), u"\\A.INI", u"", u"A.INI");
  ExpectLocation(Split(u"c:\\a.ini"), u"C:\\A.INI", u"C:", u"A.INI");
}

// "D:" names the drive's current folder: a file at a drive's root is watched
// at the root. Every other directory is opened as it stands.
TEST(IniPathLocation, DirectoryToOpenIsTheRootForABareDrive) {
  EXPECT_EQ(LocateIniFile(u"c:\\a.ini").directoryToOpen, u"C:\\");
  EXPECT_EQ(LocateIniFile(u"d:\\cfg\\a.ini").directoryToOpen, u"D:\\CFG");
  EXPECT_EQ(LocateIniFile(u"\\\\server\\share\\a.ini").directoryToOpen, u"\\\\SERVER\\SHARE");
  EXPECT_EQ(LocateIniFile(u"api.ini").directoryToOpen, u"API.INI");  // no backslash
  EXPECT_EQ(LocateIniFile(u"").directoryToOpen, u"");
  EXPECT_EQ(LocateIniFile(u"1:\\a.ini").directoryToOpen, u"1:");  // not a drive letter
  EXPECT_EQ(LocateIniFile(u"\u00e4:\\a.ini").directoryToOpen, u"\u00e4:");
}

// A drive or volume in device form, named alone, opens the volume device, not
// its root folder: each long form of a root file watches the root folder.
TEST(IniPathLocation, DirectoryToOpenIsTheRootForEveryLongFormOfARoot) {
  EXPECT_EQ(LocateIniFile(u"\\\\?\\C:\\STAVORA.INI").directoryToOpen, u"\\\\?\\C:\\");
  EXPECT_EQ(LocateIniFile(u"\\\\.\\c:\\stavora.ini").directoryToOpen, u"\\\\.\\C:\\");
  const char16_t volume[] = u"\\\\?\\Volume{0b4c5a2e-7d11-4e3f-9a6b-2c8d1e0f3a5b}\\X.INI";
  const IniLocation onVolume = LocateIniFile(volume);
  EXPECT_EQ(u"\\\\?\\VOLUME{0B4C5A2E-7D11-4E3F-9A6B-2C8D1E0F3A5B}", onVolume.directory);
  EXPECT_EQ(u"\\\\?\\VOLUME{0B4C5A2E-7D11-4E3F-9A6B-2C8D1E0F3A5B}\\", onVolume.directoryToOpen);
  EXPECT_EQ(u"X.INI", onVolume.fileName);

  // A folder below the root, in any form, is opened as it is.
  EXPECT_EQ(LocateIniFile(u"\\\\?\\C:\\CFG\\A.INI").directoryToOpen, u"\\\\?\\C:\\CFG");
  EXPECT_EQ(LocateIniFile(u"\\\\.\\C:\\CFG\\A.INI").directoryToOpen, u"\\\\.\\C:\\CFG");
  EXPECT_EQ(LocateIniFile(u"\\\\?\\UNC\\SRV\\SHARE\\A.INI").directoryToOpen, u"\\\\?\\UNC\\SRV\\SHARE");
  // Too short to name a device: opened as it is.
  EXPECT_EQ(LocateIniFile(u"\\\\?\\\\A.INI").directoryToOpen, u"\\\\?\\");
}

}  // namespace
}  // namespace stavora
