// The registry interface over the Win32 registry functions. Key handles pass
// through unchanged: the predefined roots have the platform's values.
#include <windows.h>

#include <atomic>

#include "platform/WideText.h"
#include "registrar/ResourceScript.h"

namespace stavora {
namespace {

HKEY Key(RegKey key) { return reinterpret_cast<HKEY>(key); }

using DeleteKeyExFunction = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// RegDeleteKeyExW is looked up once per process; every thread that races on
// the first use stores the same outcome.
std::atomic<DeleteKeyExFunction> g_deleteKeyEx{nullptr};
std::atomic<bool> g_deleteKeyExLookedUp{false};

DeleteKeyExFunction DeleteKeyEx() {
  if (!g_deleteKeyExLookedUp.load(std::memory_order_acquire)) {
    DeleteKeyExFunction function = nullptr;
    if (HMODULE advapi = GetModuleHandleW(L"Advapi32.dll")) {
      function = reinterpret_cast<DeleteKeyExFunction>(
          reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")));
    }
    g_deleteKeyEx.store(function, std::memory_order_relaxed);
    g_deleteKeyExLookedUp.store(true, std::memory_order_release);
  }
  return g_deleteKeyEx.load(std::memory_order_relaxed);
}

class Win32Registry final : public IRegistry {
 public:
  // `view` is 0 for the process's own registry view, or KEY_WOW64_32KEY or
  // KEY_WOW64_64KEY, added to every open, creation and deletion.
  explicit Win32Registry(REGSAM view = 0) : m_view(view) {}

  std::int32_t OpenKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) override {
    HKEY opened = nullptr;
    const LONG error = RegOpenKeyExW(Key(parent), AsWide(name), 0, access | m_view, &opened);
    *key = error == ERROR_SUCCESS ? reinterpret_cast<RegKey>(opened) : kNoKey;
    return error;
  }
  std::int32_t CreateKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) override {
    HKEY created = nullptr;
    const LONG error = RegCreateKeyExW(Key(parent), AsWide(name), 0, nullptr, REG_OPTION_NON_VOLATILE, access | m_view,
                                       nullptr, &created, nullptr);
    *key = error == ERROR_SUCCESS ? reinterpret_cast<RegKey>(created) : kNoKey;
    return error;
  }
  std::int32_t CloseKey(RegKey key) override { return RegCloseKey(Key(key)); }
  std::int32_t SetValue(RegKey key, const char16_t* name, std::uint32_t type, const void* data,
                        std::uint32_t bytes) override {
    return RegSetValueExW(Key(key), AsWide(name), 0, type, static_cast<const BYTE*>(data), bytes);
  }
  std::int32_t DeleteValue(RegKey key, const char16_t* name) override {
    return RegDeleteValueW(Key(key), AsWide(name));
  }
  std::int32_t DeleteKey(RegKey parent, const char16_t* name) override {
    if (DeleteKeyExFunction deleteKeyEx = DeleteKeyEx()) return deleteKeyEx(Key(parent), AsWide(name), m_view, 0);
    // Without RegDeleteKeyExW there are no registry views to choose from.
    return RegDeleteKeyW(Key(parent), AsWide(name));
  }
  std::int32_t EnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) override {
    DWORD units = *length;
    const LONG error = RegEnumKeyExW(Key(key), index, AsWide(name), &units, nullptr, nullptr,
                                     nullptr, nullptr);
    if (error == ERROR_SUCCESS) *length = units;
    return error;
  }
  std::int32_t QuerySubkeyCount(RegKey key, std::uint32_t* count) override {
    DWORD subkeys = 0;
    const LONG error = RegQueryInfoKeyW(Key(key), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_SUCCESS) *count = subkeys;
    return error;
  }
  std::int32_t QueryValue(RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                          std::uint32_t* bytes) override {
    DWORD valueType = 0;
    DWORD size = *bytes;
    const LONG error = RegQueryValueExW(Key(key), AsWide(name), nullptr, &valueType, static_cast<BYTE*>(data), &size);
    if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
      *type = valueType;
      *bytes = size;
    }
    return error;
  }
  std::int32_t EnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) override {
    DWORD units = *length;
    const LONG error =
        RegEnumValueW(Key(key), index, AsWide(name), &units, nullptr, nullptr, nullptr, nullptr);
    if (error == ERROR_SUCCESS) *length = units;
    return error;
  }
  std::int32_t OverrideClassesRoot(RegKey key) override {
    // The mapping is the process's, whatever view this registry opens keys in.
    return RegOverridePredefKey(HKEY_CLASSES_ROOT, key == kNoKey ? nullptr : Key(key));
  }

 private:
  REGSAM m_view;
};

// At namespace scope: a function-local static with a destructor needs a
// thread-safe guard, whose runtime lock would outlive the library.
Win32Registry g_systemRegistry;

}  // namespace

IRegistry& SystemRegistry() { return g_systemRegistry; }

IRegistry& SystemRegistryView(RegistryView view) {
  static Win32Registry view32(KEY_WOW64_32KEY);
  static Win32Registry view64(KEY_WOW64_64KEY);
  return view == RegistryView::k32 ? view32 : view64;
}

}  // namespace stavora
