// The loader: one section list, one key list per section, one value per key,
// all through a single buffer sized from the file's length.
#include "store/Loader.h"

#include <cstdint>
#include <string>
#include <vector>

#include "logging/Logger.h"
#include "store/SplitNameList.h"

namespace stavora {
namespace {

constexpr std::uint32_t kLargestBuffer = 0xFFFFFFFFu;
constexpr std::int64_t kUnknownSize = 1024;
// Reads of a file that keeps changing under them, before the last is kept.
constexpr int kLoadAttempts = 4;

WString Utf16Decimal(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  return WString(digits.begin(), digits.end());
}

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
std::uint32_t Fetch(ProfileSource& source, const char16_t* section, const char16_t* key,
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
bool ReadStore(SectionMap& sections, ProfileSource& source, const WString& iniPath,
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

}  // namespace

LoadResult LoadStore(SectionMap& sections, StoreLock& lock, ProfileSource& source,
                     const WString& iniPath, LoadHistory& history,
                     const std::atomic<bool>* abandon) {
  std::vector<WString> failures;
  LoadResult result = LoadResult::kSettled;
  {
    StoreLockGuard guard(lock);
    // The service answers each call from the file as it stands at that call,
    // so a save between two calls mixes two versions, or an empty or missing
    // file, into one store. A read is kept once the file's state is the same
    // after it as before; a read that overlapped a change is done again.
    FileState after;
    for (int attempt = 1;; ++attempt) {
      if (Abandoned(abandon)) return LoadResult::kAbandoned;
      const FileState before = source.GetFileState(iniPath);
      if (!ReadStore(sections, source, iniPath, failures, abandon)) return LoadResult::kAbandoned;
      after = source.GetFileState(iniPath);
      if (after == before) break;
      if (attempt == kLoadAttempts) {
        failures.push_back(u"LoadRegistry(): The file changed during each of " +
                           Utf16Decimal(kLoadAttempts) + u" reads; keeping the last.");
        break;
      }
    }
    // No section from a file with bytes in it: the service could not read
    // it (a file without any section line is taken for one it cannot read;
    // reading it again costs one call a second).
    if (sections.empty() && after.exists && after.size > 0) {
      result = LoadResult::kUnreadable;
      if (history.unreadableLoads++ == 0) {
        failures.push_back(u"LoadRegistry(): Nothing could be read from the file, which has " +
                           Utf16Decimal(after.size) + u" bytes; reading it again every second.");
      } else {
        failures.clear();  // said at the first load of this run
      }
    } else if (history.unreadableLoads > 0) {
      if (!sections.empty()) {
        failures.push_back(u"LoadRegistry(): The file was read after " +
                           Utf16Decimal(history.unreadableLoads) + u" loads that read nothing.");
      }
      history.unreadableLoads = 0;
    }
  }
  // Only the kept read's failures are logged: one that a save caused and a
  // later read did not meet is no failure of the file. Written with the lock
  // left: a lookup never waits on the log.
  WriteLogLines(failures);
  return result;
}

}  // namespace stavora
