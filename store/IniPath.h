// Where a lookup object's INI file is: the configured path value or the
// built-in default, upper-cased by the name rule and split once into what the
// object and its watcher need.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/WString.h"

namespace stavora {

// The path used when the configured value cannot be read.
inline constexpr char16_t kDefaultIniPath[] = u"c:\\krn\\api\\Vendara\\Stavora\\Stavora.ini";

// The configured value: HKEY_LOCAL_MACHINE\<kSettingsKeyName>\<kIniPathValueName>.
inline constexpr char16_t kSettingsKeyName[] = u"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
inline constexpr char16_t kIniPathValueName[] = u"StavoraPath";

// The value is read into a buffer of this many UTF-16 units; its last unit is
// kept 0, so the query may fill at most one unit less.
inline constexpr std::size_t kIniPathBufferUnits = 1024;
inline constexpr std::uint32_t kIniPathQueryLimitBytes =
    static_cast<std::uint32_t>((kIniPathBufferUnits - 1) * sizeof(char16_t));

// The status a IPathValueReader reports for a value it read in full.
inline constexpr std::int32_t kPathValueRead = 0;

// Reads the configured path value (on Windows, the registry value above).
class IPathValueReader {
 public:
  // Copies the value's data into `buffer`, which has room for `byteCount`
  // bytes on entry, and sets `byteCount` to the bytes it stored. Returns
  // kPathValueRead on success, any other number on any failure (key or value
  // missing, data larger than the room given, ...). The data's type is not
  // reported: whatever it is, it is taken as UTF-16 text.
  virtual std::int32_t ReadPathValue(char16_t* buffer, std::uint32_t& byteCount) = 0;

 protected:
  ~IPathValueReader() = default;
};

// The INI file's location, computed once and handed to the watcher whole.
struct IniLocation {
  WString path;             // upper-cased full path
  WString directory;        // before the last backslash, without it
  WString fileName;         // after the last backslash
  WString directoryToOpen;  // `directory` as it is opened: see below
};

// The folder to watch for `directory` (upper-cased, without a trailing
// backslash). A drive or volume named alone is not its root folder: a bare
// drive ("D:") names the drive's current folder, and a device path with one
// component ("\\?\C:", "\\.\C:", "\\?\VOLUME{...}") opens the volume
// device itself. Each is given the backslash that names its root folder;
// every other directory is opened as it is.
WString DirectoryToOpen(const WString& directory);

// The configured path when `reader` reads it, else kDefaultIniPath. Of the
// data only the bytes the reader reports are used, up to the first zero, so a
// value stored without a terminator is never read past.
WString ConfiguredIniPath(IPathValueReader& reader);

// Upper-cases `path` by the name rule and splits it at its last backslash.
// Without a backslash, directory and file name are both the whole path.
IniLocation LocateIniFile(WString path);

}  // namespace stavora
