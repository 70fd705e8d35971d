// The lookup object's life: path resolution, first load, watcher start, and
// a stop of the watcher before anything it uses is freed.
#include "store/StavoraLookup.h"

#include "platform/FileState.h"
#include "platform/ProfileSourceWin32.h"
#include "store/ConfigurationWin32.h"
#include "store/IniPath.h"
#include "store/Loader.h"
#include "store/LookupsWin32.h"

namespace stavora {

CStavoraLookup::CStavoraLookup() : m_watcher(std::in_place), m_iniPath(kDefaultIniPath) {
  RegistryPathValueReader registry;
  IniLocation location = LocateIniFile(ConfiguredIniPath(registry));
  m_iniPath = location.path;

  // Taken before the load: a save during or after it, before the watcher's
  // first read is pending, makes the watcher reload once.
  location.loaded = ReadFileState(m_iniPath);
  LoadRegistry();

  m_watcher->Start(location, this, &StavoraLoader::LoadRegistry);
}

CStavoraLookup::~CStavoraLookup() {
  // A reload on the watcher thread uses the path, the lock and the store:
  // the thread must have ended before any of them goes.
  m_watcher.reset();
}

void CStavoraLookup::LoadRegistry() {
  ProfileSourceWin32 source;
  LoadStore(m_sections, m_lock, source, m_iniPath);
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
