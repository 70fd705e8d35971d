// ScopedInterface: the owner of one reference to a COM interface, released on
// every way out; the ScopedResource of interface pointers.
#pragma once

#include <unknwn.h>

#include "platform/ScopedResource.h"

namespace stavora {

template <class Interface>
struct InterfaceTraits : NullEmptyTraits<Interface*> {
  static void Free(Interface* reference) noexcept { reference->Release(); }
};

// Release() hands the reference over uncounted; `->Release()` is the
// interface's own.
template <class Interface>
class ScopedInterface : public ScopedResource<InterfaceTraits<Interface>> {
 public:
  using ScopedResource<InterfaceTraits<Interface>>::ScopedResource;
  Interface* operator->() const noexcept { return this->Get(); }
};

}  // namespace stavora
