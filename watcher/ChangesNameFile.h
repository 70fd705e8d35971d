// Deciding whether one batch of directory change records names the INI file.
// Portable: the records are read from raw bytes, as the platform lays them out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/NameRule.h"
#include "watcher/FileNameComparison.h"

namespace stavora {

// Layout of one change record (FILE_NOTIFY_INFORMATION), all little-endian:
//   uint32 NextEntryOffset  bytes from this record to the next, 0 on the last
//   uint32 Action           ignored: every kind of change counts
//   uint32 FileNameLength   length of the name in bytes
//   char16_t FileName[]     the name, not terminated
constexpr std::size_t kChangeRecordHeaderBytes = 12;

// Records start on a boundary of one name unit. Windows pads records to 4
// bytes; Wine packs them (offsets of 34 after an 11-unit name), so 2 is all
// that can be asked of an offset.
constexpr std::size_t kChangeRecordAlignment = 2;

// Walks the records in the first `bytesReported` bytes of `records` and
// returns true when `sameName` finds one of their names the same as
// `fileName`. Names are handed over as recorded, so the file system's own
// rule decides (on Windows it folds non-ASCII letters, which the name rule
// of sections and keys does not). A record name of another length than
// `fileName` is never handed over: an ordinal comparison maps unit to unit.
// An empty `fileName` never matches. A record that carries the file's short
// name (`sameName.WatchedShortName()`, when it has one) names it too.
//
// Nothing at or beyond records + bytesReported is read, whatever the records
// claim. The walk ends at the first record whose header or name would cross
// that end, and at a next-record offset that is zero, odd, or
// smaller than the record it leaves (a record cannot overlap its successor).
bool ChangesNameFile(const unsigned char* records, std::size_t bytesReported,
                     WStringView fileName, const IFileNameComparison& sameName);

}  // namespace stavora
