// FolderCheck: the rules for reopening a watched folder.
#include "watcher/FolderIdentity.h"

namespace stavora {
namespace {

bool KnowsFileId(const FolderIdentity& identity) {
  for (std::uint8_t byte : identity.fileId) {
    if (byte != 0) return true;
  }
  return false;
}

}  // namespace

FolderSameness CompareFolders(const FolderIdentity& a, const FolderIdentity& b) {
  if (KnowsFileId(a) && KnowsFileId(b)) {
    return a.volume == b.volume && a.fileId == b.fileId ? FolderSameness::kSame
                                                        : FolderSameness::kDifferent;
  }
  if (a.created != 0 && b.created != 0) {
    return a.volume == b.volume && a.created == b.created ? FolderSameness::kSame
                                                          : FolderSameness::kDifferent;
  }
  return FolderSameness::kUnknown;
}

void FolderCheck::Opened(const std::optional<FolderIdentity>& watched) {
  m_watched = watched;
  m_unstable = false;
  m_mismatches = 0;
}

bool FolderCheck::Reopen(bool pathOpened, const std::optional<FolderIdentity>& atPath,
                         const std::optional<FolderIdentity>& watchedNow) {
  if (!pathOpened) {
    m_mismatches = 0;
    return true;
  }
  if (!m_unstable && m_watched && watchedNow &&
      CompareFolders(*m_watched, *watchedNow) == FolderSameness::kDifferent) {
    m_unstable = true;  // one open handle, two identities
  }
  if (m_unstable || !m_watched || !atPath) {
    m_mismatches = 0;
    return false;
  }
  if (CompareFolders(*m_watched, *atPath) != FolderSameness::kDifferent) {
    m_mismatches = 0;
    return false;
  }
  if (++m_mismatches < 2) return false;
  m_mismatches = 0;
  return true;
}

}  // namespace stavora
