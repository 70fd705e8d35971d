// The lookup object's life: path resolution, first load, watcher start, and
// a stop of the watcher before anything it uses is freed.
#include "store/StavoraLookup.h"

#include "store/ProfileSourceWin32.h"
#include "store/ConfigurationWin32.h"
#include "store/IniPath.h"
#include "store/LookupsWin32.h"
#include "logging/Logger.h"

namespace stavora {

CStavoraLookup::CStavoraLookup() : m_watcher(std::in_place), m_iniPath(kDefaultIniPath) {
  RegistryPathValueReader registry;
  IniLocation location = LocateIniFile(ConfiguredIniPath(registry));
  m_iniPath = location.path;

  // The watcher's first change read is pending before the file is read, so
  // a save at any moment from here on brings a reload; that reload may run
  // beside this load, and whichever started later is served.
  m_watcher->Start(location, this, &StavoraLoader::LoadRegistry);
  const bool watching = m_watcher->WaitUntilWatching();

  LoadResult first = LoadResult::kServed;
  try {
    first = LoadRegistry(EmptyFile::kServe);
  } catch (...) {
    // The members go in reverse order, the path before the watcher: the
    // watcher, which may be reloading, is stopped first.
    m_releasing.store(true, std::memory_order_release);
    m_watcher.reset();
    throw;
  }
  // A file that could not be read is read again by the watcher, later; a
  // watcher that took too long to start reloads once it watches, for a save
  // made before that.
  m_watcher->FirstLoadDone(first, watching);
}

CStavoraLookup::~CStavoraLookup() {
  // A reload on the watcher thread uses the path, the lock and the store:
  // the thread must have ended before any of them goes. A reload under way
  // (the first one after creation reads the whole file again) is abandoned
  // rather than waited for: nobody reads this store again.
  m_releasing.store(true, std::memory_order_release);
  m_watcher.reset();
}

LoadResult CStavoraLookup::LoadRegistry(EmptyFile emptyFile) {
  ProfileSourceWin32 source;
  LoadRequest request;
  request.emptyFile = emptyFile;
  request.evidence = &*m_watcher;
  request.abandon = &m_releasing;
  const LoadReport report = LoadStore(m_served, source, m_iniPath, request);
  // Written holding no lock: a lookup never waits on the log.
  WriteLogLines(report.logLines);
  return report.result;
}

HRESULT STDMETHODCALLTYPE CStavoraLookup::GetSections(VARIANT* sections) {
  return LookUpSections(m_sections, m_lock, sections);
}

HRESULT STDMETHODCALLTYPE CStavoraLookup::GetSection(BSTR section, VARIANT* keys) {
  return LookUpSection(m_sections, m_lock, section, keys);
}

HRESULT STDMETHODCALLTYPE CStavoraLookup::GetKey(BSTR section, BSTR key, BSTR* value) {
  return LookUpKey(m_sections, m_lock, section, key, value);
}

}  // namespace stavora
