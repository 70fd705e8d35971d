// Choosing, normalising and splitting the INI path.
#include "store/IniPath.h"

#include "store/NameRule.h"

#include <algorithm>
#include <array>
#include <utility>

namespace stavora {

WString ConfiguredIniPath(IPathValueReader& reader) {
  std::array<char16_t, kIniPathBufferUnits> buffer{};
  buffer.back() = 0;
  std::uint32_t byteCount = kIniPathQueryLimitBytes;
  if (reader.ReadPathValue(buffer.data(), byteCount) != kPathValueRead) return kDefaultIniPath;

  // A reader that claims more than the room it was given is not believed
  // beyond that room; an odd trailing byte is no whole character.
  const std::size_t units =
      std::min<std::size_t>(byteCount, kIniPathQueryLimitBytes) / sizeof(char16_t);
  const auto end = std::find(buffer.begin(), buffer.begin() + units, u'\0');
  return WString(buffer.begin(), end);
}

WString DirectoryToOpen(const WString& directory) {
  const bool bareDrive = directory.size() == 2 && directory[1] == u':' &&
                         ((directory[0] >= u'A' && directory[0] <= u'Z') ||
                          (directory[0] >= u'a' && directory[0] <= u'z'));
  if (bareDrive) return directory + u"\\";
  // "\\?\" and "\\.\" name a device or volume by its first component; with
  // nothing after it, the path is the device, whose root folder is one
  // backslash further.
  const WStringView text(directory);
  constexpr std::size_t kPrefix = 4;
  const bool devicePath = text.size() > kPrefix && text.substr(0, 2) == u"\\\\" &&
                          (text[2] == u'?' || text[2] == u'.') && text[3] == u'\\';
  if (devicePath && text.find(u'\\', kPrefix) == WStringView::npos) return directory + u"\\";
  return directory;
}

IniLocation LocateIniFile(WString path) {
  UpperCaseName(path);
  IniLocation location;
  const std::size_t separator = path.rfind(u'\\');
  if (separator == WString::npos) {
    location.directory = path;
    location.fileName = path;
  } else {
    location.directory = path.substr(0, separator);
    location.fileName = path.substr(separator + 1);
  }
  location.directoryToOpen = DirectoryToOpen(location.directory);
  location.path = std::move(path);
  return location;
}

}  // namespace stavora
