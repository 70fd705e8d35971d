// The lookup object's life: path resolution, first load, watcher start, and
// a release that waits for the watcher only a bounded time.
#include "store/StavoraLookup.h"

#include "store/ProfileSourceWin32.h"
#include "store/ConfigurationWin32.h"
#include "store/IniPath.h"
#include "store/LookupsWin32.h"
#include "logging/Logger.h"

namespace stavora {

CStavoraLookup::CStavoraLookup() : CStavoraLookup(std::make_shared<ProfileSourceWin32>()) {}

CStavoraLookup::CStavoraLookup(std::shared_ptr<IProfileSource> source)
    : m_state(std::make_shared<LookupState>(std::move(source))) {
  LookupState& state = *m_state;
  RegistryPathValueReader registry;
  IniLocation location = LocateIniFile(ConfiguredIniPath(registry));
  state.m_iniPath = location.path;

  // The watcher's first change read is pending before the file is read, so
  // a save at any moment from here on brings a reload; that reload may run
  // beside this load, and whichever started later is served. The thread
  // holds the state as long as it runs.
  state.m_watcher.Start(location, &state, &StavoraLoader::LoadRegistry, m_state);
  const bool watching = state.m_watcher.WaitUntilWatching();

  LoadResult first = LoadResult::kServed;
  try {
    first = state.LoadRegistry(EmptyFile::kServe);
  } catch (...) {
    state.m_releasing.store(true, std::memory_order_release);
    (void)state.m_watcher.Stop(DirectoryWatcher::kReleaseWaitMilliseconds);
    throw;
  }
  // A file that could not be read is read again by the watcher, later; a
  // watcher that took too long to start reloads once it watches, for a save
  // made before that.
  state.m_watcher.FirstLoadDone(first, watching);
}

CStavoraLookup::~CStavoraLookup() {
  // A reload under way is abandoned rather than waited for: nobody reads
  // this store again. A thread that has not ended within the bound keeps the
  // state and frees it when it ends.
  m_state->m_releasing.store(true, std::memory_order_release);
  (void)m_state->m_watcher.Stop(DirectoryWatcher::kReleaseWaitMilliseconds);
}

LoadResult LookupState::LoadRegistry(EmptyFile emptyFile) {
  LoadRequest request;
  request.emptyFile = emptyFile;
  request.evidence = &m_watcher;
  request.abandon = &m_releasing;
  const LoadReport report = LoadStore(m_served, *m_source, m_iniPath, request);
  // Written holding no lock: a lookup never waits on the log.
  WriteLogLines(report.logLines);
  return report.result;
}

HRESULT STDMETHODCALLTYPE CStavoraLookup::GetSections(VARIANT* sections) {
  return LookUpSections(m_state->m_sections, m_state->m_lock, sections);
}

HRESULT STDMETHODCALLTYPE CStavoraLookup::GetSection(BSTR section, VARIANT* keys) {
  return LookUpSection(m_state->m_sections, m_state->m_lock, section, keys);
}

HRESULT STDMETHODCALLTYPE CStavoraLookup::GetKey(BSTR section, BSTR key, BSTR* value) {
  return LookUpKey(m_state->m_sections, m_state->m_lock, section, key, value);
}

}  // namespace stavora
