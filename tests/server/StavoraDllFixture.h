// Shared set-up of the tests of the built Stavora.dll: the INI file they
// serve, the registry value that points at it, and the DLL loaded from the
// test program's folder with its exports resolved.
#pragma once

#include <windows.h>

#include <ole2.h>

#include <gtest/gtest.h>

#include <string>

#include "resources/Stavora.h"

namespace stavora_test {

struct StavoraDll {
  HMODULE module = nullptr;
  std::wstring path;
  HRESULT(WINAPI* canUnloadNow)() = nullptr;
  HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(WINAPI* registerServer)() = nullptr;
  HRESULT(WINAPI* unregisterServer)() = nullptr;
  HRESULT(WINAPI* install)(BOOL, LPCWSTR) = nullptr;
};

// The loaded DLL (loaded once, by the test environment).
const StavoraDll& Dll();

// The INI file the objects serve, and what it holds.
const std::wstring& IniPath();

// A client reference to the class object (asserts on failure; null then).
IClassFactory* GetClassFactory();

// A standalone object asked for `iid` (asserts on failure; null then).
template <class Interface>
Interface* CreateLookup(REFIID iid) {
  IClassFactory* factory = GetClassFactory();
  if (factory == nullptr) return nullptr;
  Interface* object = nullptr;
  HRESULT hr = factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&object));
  factory->Release();
  if (hr != S_OK) {
    ADD_FAILURE() << "CreateInstance gave 0x" << std::hex << hr;
    return nullptr;
  }
  return object;
}

// The reference count of `unknown` as AddRef/Release report it.
inline ULONG RefCount(IUnknown* unknown) {
  unknown->AddRef();
  return unknown->Release();
}

// Whether the DLL says it may be unloaded.
inline HRESULT CanUnloadNow() { return Dll().canUnloadNow(); }

}  // namespace stavora_test
