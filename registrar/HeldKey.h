// HeldKey: the one owner of an open registry key over IRegistry. The key is
// closed when the owner is reset or goes out of scope, however a walk ends.
#pragma once

#include "registrar/RegistryAccess.h"

namespace stavora {

class HeldKey {
 public:
  explicit HeldKey(IRegistry& registry) : m_registry(registry) {}
  ~HeldKey() { Reset(kNoKey); }
  HeldKey(const HeldKey&) = delete;
  HeldKey& operator=(const HeldKey&) = delete;

  // For an open or create call to store the key it opens, while none is held.
  RegKey* Receive() { return &m_key; }
  RegKey Get() const { return m_key; }
  // Holds `key` instead, closing the key held before.
  void Reset(RegKey key) {
    // Nothing is changed through a close: a failed one has nothing to undo.
    if (m_key != kNoKey) m_registry.CloseKey(m_key);
    m_key = key;
  }
  // Gives the key up to the caller, who closes it.
  RegKey Release() {
    const RegKey key = m_key;
    m_key = kNoKey;
    return key;
  }

 private:
  IRegistry& m_registry;
  RegKey m_key = kNoKey;
};

}  // namespace stavora
