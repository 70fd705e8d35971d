// The loader: one section list, one key list per section, one value per key,
// all through a single buffer sized from the file's length, into a store built
// aside; then the swap that serves it.
#include "store/Loader.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/NumberText.h"
#include "store/SplitNameList.h"

namespace stavora {
namespace {

constexpr std::uint32_t kLargestBuffer = 0xFFFFFFFFu;
constexpr std::int64_t kUnknownSize = 1024;
// Reads of a file that keeps changing under them, before the last is kept.
constexpr int kLoadAttempts = 4;

// The buffer's first size in code units: the file's length in bytes, as an
// unsigned 32-bit count, plus one. The length in bytes bounds the length in
// characters of anything the service can take from the file.
std::uint32_t FirstBufferSize(std::int64_t fileSize) {
  const std::uint32_t size = static_cast<std::uint32_t>(fileSize);
  // A size of 0xFFFFFFFF modulo 2^32 would leave no room at all; start as
  // for a file that cannot be measured and let the buffer grow.
  if (size == kLargestBuffer) return static_cast<std::uint32_t>(kUnknownSize) + 1;
  return size + 1;
}

// Whether a call may have been cut short: a value that filled the buffer
// returns size - 1, a list size - 2 (which a complete list can return too).
bool FilledBuffer(std::uint32_t result, std::uint32_t size, bool isList) {
  const std::uint64_t reserved = isList ? 2 : 1;
  if (size < reserved) return false;  // a list needs two zeros; none fit here
  return static_cast<std::uint64_t>(result) + reserved >= size;
}

// One call of the service, repeated with a buffer twice as large while the
// answer fills it. The buffer keeps its grown size for the calls that follow.
// On return the buffer holds the answer ended within its bounds.
std::uint32_t Fetch(IProfileSource& source, const char16_t* section, const char16_t* key,
                    std::vector<char16_t>& buffer, const WString& path) {
  const bool isList = key == nullptr;
  for (;;) {
    const std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
    const std::uint32_t result = source.GetString(section, key, buffer.data(), size, path);
    // Whatever the service wrote, the text and the list end inside the buffer.
    buffer[size - 1] = u'\0';
    if (isList && size >= 2) buffer[size - 2] = u'\0';
    if (!FilledBuffer(result, size, isList) || size == kLargestBuffer) return result;
    const std::uint64_t larger = static_cast<std::uint64_t>(size) * 2;
    buffer.assign(larger > kLargestBuffer ? kLargestBuffer : static_cast<std::size_t>(larger),
                  u'\0');
  }
}

bool Abandoned(const std::atomic<bool>* abandon) {
  return abandon != nullptr && abandon->load(std::memory_order_acquire);
}

// One read of the whole file into `sections`, which it empties first. The
// failures it meets are gathered in `failures` for the caller to log. Returns
// false when `abandon` ended it part way.
bool ReadStore(SectionMap& sections, IProfileSource& source, const WString& iniPath,
               std::vector<WString>& failures, const std::atomic<bool>* abandon) {
  sections.clear();
  failures.clear();

  std::int64_t fileSize = source.GetFileSize(iniPath);
  if (fileSize < 0) {
    failures.push_back(u"GetFileSize(): Failed to get file handle or file size for " + iniPath);
    fileSize = kUnknownSize;
  }
  std::vector<char16_t> buffer(FirstBufferSize(fileSize), u'\0');

  if (Fetch(source, nullptr, nullptr, buffer, iniPath) == 0) {
    failures.push_back(u"LoadRegistry(): GetPrivateProfileString() failed to retrieve sections.");
    return true;
  }
  // Split before the buffer is used again.
  const std::vector<WString> sectionNames = SplitNameList(buffer.data());

  for (const WString& sectionName : sectionNames) {
    if (Abandoned(abandon)) return false;
    KeyMap keys;
    // A key list of 0 is a section without keys: it is stored empty.
    if (Fetch(source, sectionName.c_str(), nullptr, buffer, iniPath) != 0) {
      const std::vector<WString> keyNames = SplitNameList(buffer.data());
      for (const WString& keyName : keyNames) {
        if (Abandoned(abandon)) return false;
        // A value of 0 is an empty value: it is stored as such.
        WString value;
        if (Fetch(source, sectionName.c_str(), keyName.c_str(), buffer, iniPath) != 0) {
          value.assign(buffer.data());
        }
        keys.emplace(keyName, std::move(value));  // the first of equal names stays
      }
    }
    sections.emplace(sectionName, std::move(keys));  // the first of equal names stays
  }
  return true;
}

std::uint64_t ChangesSeen(IChangeEvidence* evidence) {
  return evidence == nullptr ? 0 : evidence->ChangesSeen();
}

}  // namespace

LoadReport LoadStore(ServedStore& served, IProfileSource& source, const WString& iniPath,
                     const LoadRequest& request) {
  LoadReport report;
  const std::uint64_t load = served.BeginLoad();
  SectionMap fresh;
  std::vector<WString>& lines = report.logLines;
  // The service answers each call from the file as it stands at that call,
  // so a save between two calls mixes two versions, or an empty or missing
  // file, into one store. A read is kept once the file's state is the same
  // after it as before and no change naming the file was reported meanwhile
  // (a same-size save within one tick of the file system's clock keeps the
  // state); a read that overlapped a change is done again.
  FileState after;
  std::uint64_t changes = 0;
  for (int attempt = 1;; ++attempt) {
    if (Abandoned(request.abandon)) return {LoadResult::kAbandoned, {}};
    const std::uint64_t changesBefore = ChangesSeen(request.evidence);
    changes = changesBefore;
    const FileState before = source.GetFileState(iniPath);
    if (!ReadStore(fresh, source, iniPath, lines, request.abandon)) {
      return {LoadResult::kAbandoned, {}};
    }
    after = source.GetFileState(iniPath);
    if (after == before && ChangesSeen(request.evidence) == changesBefore) break;
    // None of the reads is known to be whole: nothing is served, and the
    // caller reads again (the changes that made this so bring reloads).
    if (attempt == kLoadAttempts) return {LoadResult::kUnsettled, {}};
  }

  // A file that is gone, or empty, holds no section: whatever the service
  // answered came from elsewhere (Wine answers from its cache of the file
  // while the file is missing) and is not a version of this file.
  if (!after.exists || after.size == 0) fresh.clear();

  if (fresh.empty() && after.exists && after.size > 0) {
    // No section from a file with bytes in it: the service could not read
    // it (a file without any section line is taken for one it cannot read).
    // What is served stays.
    report.result = LoadResult::kUnreadable;
    served.WithHistory([&](LoadHistory& history, const SectionMap&) {
      if (history.unreadableLoads++ == 0) {
        lines.push_back(u"LoadRegistry(): Nothing could be read from the file, which has " +
                        DecimalText(after.size) + u" bytes; reading it again every second.");
      } else {
        lines.clear();  // said at the first load of this run
      }
    });
    return report;
  }
  if (fresh.empty()) {
    // Empty or gone: maybe a save half done (truncated and not yet written,
    // deleted and not yet created). It replaces a served version only when a
    // later read, asked to confirm, finds the file in the very state held,
    // with no change reported since: it stayed so meanwhile. The read that
    // serves it logs what it finds.
    bool hold = false;
    served.WithHistory([&](LoadHistory& history, const SectionMap& current) {
      // Nothing to hold back when nothing is served (the object's first
      // load): the find is served, and logged, at once.
      const bool confirmed = history.holdingEmpty && history.heldEmpty == after &&
                             history.heldChanges == changes;
      if (!current.empty() && (request.emptyFile == EmptyFile::kHold || !confirmed)) {
        history.holdingEmpty = true;
        history.heldEmpty = after;
        history.heldChanges = changes;
        hold = true;
      }
    });
    if (hold) return {LoadResult::kHeldEmpty, {}};
  }
  const bool readSections = !fresh.empty();
  const bool replaced = served.Publish(load, fresh, [&](LoadHistory& history) {
    // A run of unreadable loads ends here; said when the file was read, not
    // when it turned out really empty or gone.
    if (history.unreadableLoads > 0 && readSections) {
      lines.push_back(u"LoadRegistry(): The file was read after " +
                      DecimalText(history.unreadableLoads) + u" loads that read nothing.");
    }
    history.unreadableLoads = 0;
    history.holdingEmpty = false;
  });
  if (!replaced) return {LoadResult::kSuperseded, {}};
  // `fresh` now holds the version replaced; it is freed here, with the lock
  // left, so that no lookup waits for the freeing of a large store.
  report.result = LoadResult::kServed;
  return report;
}

}  // namespace stavora
