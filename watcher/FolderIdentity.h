// Telling whether the folder at the watched path is still the folder the
// watcher's handle is open on, from the identities the file system reports.
// Portable: the platform reads the identities, this decides.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace stavora {

// What the file system says identifies a folder. A file identifier of all
// zeros, or a creation time of zero, is unknown: some servers report zeros.
struct FolderIdentity {
  std::uint64_t volume = 0;
  std::array<std::uint8_t, 16> fileId{};  // 128 bits (64 from older queries)
  std::uint64_t created = 0;              // creation time, the fallback key
};

enum class FolderSameness { kSame, kDifferent, kUnknown };

// Compares by the file identifier and volume when both sides know their
// identifier, else by the creation time and volume when both know theirs,
// else kUnknown.
FolderSameness CompareFolders(const FolderIdentity& a, const FolderIdentity& b);

// The watcher's once-a-second question, asked while a change read is pending
// on its handle: is the folder at the path to be opened again?
class FolderCheck {
 public:
  // A handle was opened on the folder; `watched` is its identity, or nothing
  // when it could not be read.
  void Opened(const std::optional<FolderIdentity>& watched);

  // `pathOpened`: whether a probe open of the path succeeded. `atPath`: the
  // probe's identity; `watchedNow`: the handle's identity read again (each
  // nothing when it could not be read). Reopen after a failed probe at once,
  // and after two mismatches in a row; a single mismatch, or one that cannot
  // be judged, reopens nothing. A handle whose own identity changes between
  // reads has identities that cannot be trusted: from then on only a failed
  // probe reopens it.
  bool Reopen(bool pathOpened, const std::optional<FolderIdentity>& atPath,
              const std::optional<FolderIdentity>& watchedNow);

 private:
  std::optional<FolderIdentity> m_watched;
  bool m_unstable = false;
  int m_mismatches = 0;
};

}  // namespace stavora
