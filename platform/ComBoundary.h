// The one barrier between Stavora's C++ and its COM callers: every export and
// every interface method runs its body through CallAtBoundary, so that no
// exception ever leaves the library and each becomes the HRESULT callers
// are promised.
#pragma once

#include <windows.h>

#include <new>
#include <utility>

namespace stavora {

// Runs `body`, which returns an HRESULT. Memory running out becomes
// E_OUTOFMEMORY; any other exception becomes `otherwise` (E_UNEXPECTED for
// calls, E_OUTOFMEMORY at object creation, where a failed constructor means
// the object could not be made).
template <class Body>
HRESULT CallAtBoundary(Body&& body, HRESULT otherwise = E_UNEXPECTED) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return otherwise;
  }
}

}  // namespace stavora
