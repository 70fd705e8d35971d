// The lookup object's life: path resolution, first load, watcher start, and
// a stop of the watcher before anything it uses is freed.
#include "store/StavoraLookup.h"

#include "store/ProfileSourceWin32.h"
#include "store/ConfigurationWin32.h"
#include "store/IniPath.h"
#include "store/LookupsWin32.h"

namespace stavora {

CStavoraLookup::CStavoraLookup() : m_watcher(std::in_place), m_iniPath(kDefaultIniPath) {
  RegistryPathValueReader registry;
  IniLocation location = LocateIniFile(ConfiguredIniPath(registry));
  m_iniPath = location.path;

  // A file that cannot be read now is read again by the watcher, which also
  // reloads once its first read is pending, for a save made in between.
  LoadRegistry();

  m_watcher->Start(location, this, &StavoraLoader::LoadRegistry);
}

CStavoraLookup::~CStavoraLookup() {
  // A reload on the watcher thread uses the path, the lock and the store:
  // the thread must have ended before any of them goes. A reload under way
  // (the first one after creation reads the whole file again) is abandoned
  // rather than waited for: nobody reads this store again.
  m_releasing.store(true, std::memory_order_release);
  m_watcher.reset();
}

bool CStavoraLookup::LoadRegistry() {
  ProfileSourceWin32 source;
  // An abandoned load is not tried again: the object is going.
  return LoadStore(m_sections, m_lock, source, m_iniPath, m_history, &m_releasing) !=
         LoadResult::kUnreadable;
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
