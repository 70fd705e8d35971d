// CStavoraLookup: one lookup object. It resolves its INI path, loads the file
// into its store, keeps it current through its own directory watcher and
// answers the three lookups from it. Windows only: include from Win32 code.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <memory>

#include "store/CriticalSection.h"
#include "resources/Stavora.h"
#include "store/Loader.h"
#include "store/ProfileSource.h"
#include "store/ServedStore.h"
#include "store/StavoraLoader.h"
#include "store/Store.h"
#include "watcher/DirectoryWatcher.h"

namespace stavora {

// Everything a reload uses, shared by the object and its watcher thread. The
// final release waits for that thread only so long
// (DirectoryWatcher::kReleaseWaitMilliseconds): a thread still held up then in
// a call to the file system (a share that does not answer) ends on its own
// once the call returns, and whichever of the two lets go last frees this.
class LookupState final : public StavoraLoader {
 public:
  explicit LookupState(std::shared_ptr<IProfileSource> source) : m_source(std::move(source)) {}
  LookupState(const LookupState&) = delete;
  LookupState& operator=(const LookupState&) = delete;

  // Reads the INI file aside and swaps it in under m_lock (LoadStore), then
  // writes what the load reported to the log.
  LoadResult LoadRegistry(EmptyFile emptyFile) override;

  SectionMap m_sections;
  CriticalSection m_lock;
  ServedStore m_served{m_sections, m_lock};
  // Set when the object is being released: a reload under way stops at its
  // next call of the profile service, since nobody reads this store again.
  std::atomic<bool> m_releasing{false};
  WString m_iniPath;
  // Called from the creating thread and the watcher thread, at times at once.
  std::shared_ptr<IProfileSource> m_source;
  // Declared last, so gone first: its thread uses everything above.
  DirectoryWatcher m_watcher;
};

class CStavoraLookup : public IStavoraLookup {
 public:
  // Resolves the path (registry value StavoraPath, else the default), loads
  // the file and starts the watcher. Only an exception (memory, or the log
  // writer unable to start) reports a failure; every other one is logged and
  // leaves an empty or partial store, or no reloads.
  CStavoraLookup();
  // Stops the watcher, waiting for its thread at most
  // DirectoryWatcher::kReleaseWaitMilliseconds, and lets go of the state.
  virtual ~CStavoraLookup();

  CStavoraLookup(const CStavoraLookup&) = delete;
  CStavoraLookup& operator=(const CStavoraLookup&) = delete;

  // The names of all sections, in store order: S_OK.
  HRESULT STDMETHODCALLTYPE GetSections(VARIANT* sections) override;
  // The key names of one section: S_OK, or S_FALSE and VT_EMPTY if absent.
  HRESULT STDMETHODCALLTYPE GetSection(BSTR section, VARIANT* keys) override;
  // One value, case as in the file: S_OK, or S_FALSE and an empty string.
  HRESULT STDMETHODCALLTYPE GetKey(BSTR section, BSTR key, BSTR* value) override;

  // The upper-cased INI path this object serves.
  const WString& IniPath() const { return m_state->m_iniPath; }

 protected:
  // Reads the file through `source` instead of the profile-string service.
  explicit CStavoraLookup(std::shared_ptr<IProfileSource> source);

 private:
  std::shared_ptr<LookupState> m_state;
};

}  // namespace stavora
