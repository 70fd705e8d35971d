// The two forms of a lookup object: standalone (its own reference count) and
// aggregated (a holder whose inner part forwards IUnknown to the controlling
// outer object), and the creation function that builds either.
#pragma once

#include <windows.h>

#include "platform/ComBoundary.h"
#include "server/InterfaceTable.h"
#include "server/LookupDispatch.h"
#include "server/ServerGlobals.h"
#include "server/StavoraModule.h"

namespace stavora {

// Set on an object whose count reached 0, so that AddRef/Release calls made
// while it is taken down can never bring it back to 0.
constexpr LONG kCountDuringTeardown = -1073741823;  // 0xC0000001

// The reference count of one form: a plain integer, since the class is
// apartment threaded and only the creating apartment's thread touches it.
// Dropping to zero takes the form down: the form's destructor runs (the
// lookup's stops its watcher and waits for its thread), the memory is freed,
// and only then is the module lock given back, so that DllCanUnloadNow
// cannot say yes while any of our code still runs for the form.
class FormCount {
 public:
  ULONG Add() { return static_cast<ULONG>(++m_count); }
  template <class Form>
  ULONG Drop(Form* form) {
    const LONG count = --m_count;
    if (count == 0) TakeDown(form);  // `this` is gone afterwards
    return static_cast<ULONG>(count);
  }
  template <class Form>
  void TakeDown(Form* form) {
    m_count = kCountDuringTeardown;
    delete form;  // `this` goes with it
    TheModule().ReleaseLock();
  }

 private:
  LONG m_count = 0;
};

// The standalone form.
template <class Lookup>
class CStavoraLookupObjectT final : public CStavoraDispatch<Lookup> {
 public:
  CStavoraLookupObjectT() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return SearchLookupInterfaceTable(this, iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refCount.Add(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_refCount.Drop(this); }
  void Destroy() { m_refCount.TakeDown(this); }

 private:
  FormCount m_refCount;
};

// The inner part of the aggregated form: a full lookup whose IUnknown
// operations go to the controlling outer object. The outer reference is not
// counted: the aggregating object owns the holder, not the other way round.
template <class Lookup>
class CStavoraLookupInnerT final : public CStavoraDispatch<Lookup> {
 public:
  explicit CStavoraLookupInnerT(IUnknown* outer) : m_outer(outer) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return m_outer->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_outer->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_outer->Release(); }

  // The inner part's own interface table, searched by its holder.
  HRESULT SearchInterfaceTable(REFIID iid, void** out) {
    return SearchLookupInterfaceTable(this, iid, out);
  }

 private:
  IUnknown* m_outer;
};

// The aggregated form's holder: the non-delegating IUnknown handed to the
// aggregating object. Vtable: QueryInterface, AddRef, Release, destructor.
template <class Lookup>
class CStavoraLookupAggregateT final : public IUnknown {
 public:
  explicit CStavoraLookupAggregateT(IUnknown* outer) : m_inner(outer) {}
  virtual ~CStavoraLookupAggregateT() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
      AddRef();
      *out = static_cast<IUnknown*>(this);
      return S_OK;
    }
    return m_inner.SearchInterfaceTable(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refCount.Add(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_refCount.Drop(this); }
  void Destroy() { m_refCount.TakeDown(this); }

 private:
  FormCount m_refCount;
  CStavoraLookupInnerT<Lookup> m_inner;
};

// Constructs one form with `arguments`, takes its module lock and asks it
// for `iid`; a form that does not give `iid` is destroyed again.
template <class Form, class... Arguments>
HRESULT CreateLookupForm(REFIID iid, void** out, Arguments... arguments) {
  Form* form = nullptr;
  const HRESULT made = CallAtBoundary(
      [&]() -> HRESULT {
        form = new Form(arguments...);
        return S_OK;
      },
      E_OUTOFMEMORY);
  if (FAILED(made)) return made;
  TheModule().AddLock();
  const HRESULT hr = form->QueryInterface(iid, out);
  if (hr != S_OK) form->Destroy();
  return hr;
}

// CreateLookupInstance for a given lookup class: standalone without an outer
// object, aggregated with one. Any exception from construction (the lookup's
// constructor, or the allocation) becomes E_OUTOFMEMORY; no module lock is
// left behind. The class object has already refused aggregation for IIDs
// other than IUnknown.
template <class Lookup>
HRESULT CreateLookupInstanceT(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer == nullptr) return CreateLookupForm<CStavoraLookupObjectT<Lookup>>(iid, out);
  return CreateLookupForm<CStavoraLookupAggregateT<Lookup>>(iid, out, outer);
}

}  // namespace stavora
