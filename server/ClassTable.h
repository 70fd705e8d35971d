// ClassTable: the library's creatable classes, each with its cached class
// object, created on the first request under the table lock.
#pragma once

#include <windows.h>

#include <unknwn.h>

#include "platform/PublishedResource.h"
#include "platform/ScopedInterface.h"
#include "registrar/ServerRegistration.h"
#include "server/ClassFactory.h"

namespace stavora {

class CStavoraModule;

struct ClassEntry {
  const CLSID* clsid;
  // Registers (true) or unregisters (false) the class's registry entries,
  // with the scripts of `module`, at `target`.
  HRESULT (*updateRegistry)(CStavoraModule& module, bool registering, const ScriptTarget& target);
  // Creates the class object around `createInstance` and asks it for `iid`.
  HRESULT (*createClassObject)(InstanceCreationFunction createInstance, REFIID iid, void** out);
  InstanceCreationFunction createInstance;
};

class ClassTable {
 public:
  using LockInitialiser = bool (*)(CRITICAL_SECTION* lock);

  // A failed lock set-up sets g_initialisationFailed and leaves the table
  // uninitialised: every request then gives E_UNEXPECTED.
  ClassTable(HINSTANCE typeLibModule, const ClassEntry& row, LockInitialiser initialiseLock);
  // Deletes the lock; the members then release the cached class objects.
  ~ClassTable();

  ClassTable(const ClassTable&) = delete;
  ClassTable& operator=(const ClassTable&) = delete;

  // DllGetClassObject's work.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);

  bool IsInitialised() const { return m_initialised; }
  HINSTANCE TypeLibModule() const { return m_typeLibModule; }
  ClassEntry* begin() { return m_rows; }
  ClassEntry* end() { return m_rows + kRowCount; }

 private:
  static constexpr int kRowCount = 1;

  bool m_initialised = false;
  HINSTANCE m_typeLibModule;
  ClassEntry m_rows[kRowCount];
  // Each row's class object: none until first requested, made under m_lock.
  PublishedResource<InterfaceTraits<IUnknown>> m_classObjects[kRowCount];
  CRITICAL_SECTION m_lock{};
};

}  // namespace stavora
