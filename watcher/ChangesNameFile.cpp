// Record walk behind DirectoryWatcher::ProcessChanges.
#include "watcher/ChangesNameFile.h"

namespace stavora {
namespace {

std::uint32_t ReadUInt32(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0]) |
         (static_cast<std::uint32_t>(at[1]) << 8) |
         (static_cast<std::uint32_t>(at[2]) << 16) |
         (static_cast<std::uint32_t>(at[3]) << 24);
}

// The record's name, `units` little-endian UTF-16 code units at `name`,
// compared with `fileName` by `sameName`. Names of another length are
// rejected before any copy is made.
bool NameMatches(const unsigned char* name, std::size_t units, WStringView fileName,
                 const IFileNameComparison& sameName) {
  if (units != fileName.size()) return false;
  WString recorded(units, u'\0');
  for (std::size_t i = 0; i < units; ++i) {
    recorded[i] = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
  }
  return sameName.SameFileName(recorded, fileName);
}

}  // namespace

bool ChangesNameFile(const unsigned char* records, std::size_t bytesReported,
                     WStringView fileName, const IFileNameComparison& sameName) {
  if (records == nullptr || fileName.empty()) return false;

  std::size_t offset = 0;
  for (;;) {
    // Both checks are written so that nothing can overflow: offset never
    // exceeds bytesReported here.
    const std::size_t left = bytesReported - offset;
    if (left < kChangeRecordHeaderBytes) return false;
    const unsigned char* record = records + offset;
    const std::uint32_t next = ReadUInt32(record);
    const std::uint32_t nameBytes = ReadUInt32(record + 8);
    if (nameBytes > left - kChangeRecordHeaderBytes) return false;

    if (NameMatches(record + kChangeRecordHeaderBytes, nameBytes / 2, fileName, sameName)) {
      return true;
    }
    const WStringView shortName = sameName.WatchedShortName();
    if (!shortName.empty() &&
        NameMatches(record + kChangeRecordHeaderBytes, nameBytes / 2, shortName, sameName)) {
      return true;
    }

    if (next == 0 || next % kChangeRecordAlignment != 0) return false;
    if (next < kChangeRecordHeaderBytes + nameBytes) return false;
    if (next >= left) return false;
    offset += next;
  }
}

}  // namespace stavora
