// Owners for what the type-library registration borrows from OLE Automation:
// an interface reference and a library's attribute block. Move-only, each
// frees what it holds on every way out.
#pragma once

#include <windows.h>

#include <oaidl.h>

namespace stavora {

// Holds one reference to a COM interface and releases it.
template <class Interface>
class ScopedInterface {
 public:
  ScopedInterface() noexcept = default;
  ~ScopedInterface() { Reset(); }

  ScopedInterface(ScopedInterface&& other) noexcept : m_interface(other.Detach()) {}
  ScopedInterface& operator=(ScopedInterface&& other) noexcept {
    if (this != &other) {
      Reset();
      m_interface = other.Detach();
    }
    return *this;
  }
  ScopedInterface(const ScopedInterface&) = delete;
  ScopedInterface& operator=(const ScopedInterface&) = delete;

  // Borrowed: the reference stays here.
  Interface* Get() const noexcept { return m_interface; }
  Interface* operator->() const noexcept { return m_interface; }
  explicit operator bool() const noexcept { return m_interface != nullptr; }

  // For an out parameter: releases what is held and returns the slot.
  Interface** Receive() noexcept {
    Reset();
    return &m_interface;
  }

  // Hands the reference to the caller, who must release it.
  Interface* Detach() noexcept {
    Interface* out = m_interface;
    m_interface = nullptr;
    return out;
  }

  void Reset() noexcept {
    if (m_interface != nullptr) {
      m_interface->Release();
      m_interface = nullptr;
    }
  }

 private:
  Interface* m_interface = nullptr;
};

// A TLIBATTR block borrowed from a type library, given back with
// ReleaseTLibAttr. The library must outlive this owner.
class ScopedLibAttr {
 public:
  explicit ScopedLibAttr(ITypeLib* library) noexcept : m_library(library) {}
  ~ScopedLibAttr() {
    if (m_attributes != nullptr) m_library->ReleaseTLibAttr(m_attributes);
  }
  ScopedLibAttr(const ScopedLibAttr&) = delete;
  ScopedLibAttr& operator=(const ScopedLibAttr&) = delete;

  // Asks the library for its attributes; the owner keeps them.
  HRESULT Load() noexcept { return m_library->GetLibAttr(&m_attributes); }
  const TLIBATTR* Get() const noexcept { return m_attributes; }

 private:
  ITypeLib* m_library;
  TLIBATTR* m_attributes = nullptr;
};

// A TYPEATTR block borrowed from a type description, given back with
// ReleaseTypeAttr. The description must outlive this owner.
class ScopedTypeAttr {
 public:
  explicit ScopedTypeAttr(ITypeInfo* info) noexcept : m_info(info) {}
  ~ScopedTypeAttr() {
    if (m_attributes != nullptr) m_info->ReleaseTypeAttr(m_attributes);
  }
  ScopedTypeAttr(const ScopedTypeAttr&) = delete;
  ScopedTypeAttr& operator=(const ScopedTypeAttr&) = delete;

  HRESULT Load() noexcept { return m_info->GetTypeAttr(&m_attributes); }
  const TYPEATTR* Get() const noexcept { return m_attributes; }

 private:
  ITypeInfo* m_info;
  TYPEATTR* m_attributes = nullptr;
};

// An open registry key, closed on every way out.
class ScopedRegKey {
 public:
  ScopedRegKey() noexcept = default;
  ~ScopedRegKey() { Reset(); }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;

  HKEY Get() const noexcept { return m_key; }
  HKEY* Receive() noexcept {
    Reset();
    return &m_key;
  }
  void Reset() noexcept {
    // A failed close leaves nothing to undo.
    if (m_key != nullptr) RegCloseKey(m_key);
    m_key = nullptr;
  }

 private:
  HKEY m_key = nullptr;
};

}  // namespace stavora
