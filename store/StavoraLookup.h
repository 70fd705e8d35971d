// CStavoraLookup: one lookup object. It resolves its INI path, loads the file
// into its store, keeps it current through its own directory watcher and
// answers the three lookups from it. Windows only: include from Win32 code.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <optional>

#include "store/CriticalSection.h"
#include "resources/Stavora.h"
#include "store/Loader.h"
#include "store/ServedStore.h"
#include "store/StavoraLoader.h"
#include "store/Store.h"
#include "watcher/DirectoryWatcher.h"

namespace stavora {

class CStavoraLookup : public StavoraLoader, public IStavoraLookup {
 public:
  // Resolves the path (registry value StavoraPath, else the default), loads
  // the file and starts the watcher. Only an exception (memory, or the log
  // writer unable to start) reports a failure; every other one is logged and
  // leaves an empty or partial store, or no reloads.
  CStavoraLookup();
  // Stops the watcher thread first (waiting for it), then frees the path,
  // the lock and the store.
  ~CStavoraLookup() override;

  CStavoraLookup(const CStavoraLookup&) = delete;
  CStavoraLookup& operator=(const CStavoraLookup&) = delete;

  // Reads the INI file aside and swaps it in under m_lock (LoadStore), then
  // writes what the load reported to the log.
  LoadResult LoadRegistry(EmptyFile emptyFile) override;

  // The names of all sections, in store order: S_OK.
  HRESULT STDMETHODCALLTYPE GetSections(VARIANT* sections) override;
  // The key names of one section: S_OK, or S_FALSE and VT_EMPTY if absent.
  HRESULT STDMETHODCALLTYPE GetSection(BSTR section, VARIANT* keys) override;
  // One value, case as in the file: S_OK, or S_FALSE and an empty string.
  HRESULT STDMETHODCALLTYPE GetKey(BSTR section, BSTR key, BSTR* value) override;

  // The upper-cased INI path this object serves.
  const WString& IniPath() const { return m_iniPath; }

 private:
  SectionMap m_sections;
  CriticalSection m_lock;
  ServedStore m_served{m_sections, m_lock};
  // Set when the object is being released: a reload under way on the watcher
  // thread stops at its next call of the profile service.
  std::atomic<bool> m_releasing{false};
  // Held in place, like the watcher itself, but stoppable before m_iniPath
  // goes although it is declared ahead of it.
  std::optional<DirectoryWatcher> m_watcher;
  WString m_iniPath;
};

}  // namespace stavora
