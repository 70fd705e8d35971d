// Owners of the attribute blocks that type libraries and type descriptions
// lend out: each gives its block back on every way out.
#pragma once

#include <windows.h>

#include <oaidl.h>

namespace stavora {

// A block that `Source` lends by `Lend` and takes back by `GiveBack`. The
// source must outlive this owner.
template <class Source, class Block, HRESULT (STDMETHODCALLTYPE Source::*Lend)(Block**),
          void (STDMETHODCALLTYPE Source::*GiveBack)(Block*)>
class ScopedLentBlock {
 public:
  explicit ScopedLentBlock(Source* source) noexcept : m_source(source) {}
  ~ScopedLentBlock() {
    if (m_block != nullptr) (m_source->*GiveBack)(m_block);
  }
  ScopedLentBlock(const ScopedLentBlock&) = delete;
  ScopedLentBlock& operator=(const ScopedLentBlock&) = delete;

  // Asks the source for its block; the owner keeps it.
  HRESULT Load() noexcept { return (m_source->*Lend)(&m_block); }
  const Block* Get() const noexcept { return m_block; }

 private:
  Source* m_source;
  Block* m_block = nullptr;
};

using ScopedLibAttr = ScopedLentBlock<ITypeLib, TLIBATTR, &ITypeLib::GetLibAttr, &ITypeLib::ReleaseTLibAttr>;
using ScopedTypeAttr = ScopedLentBlock<ITypeInfo, TYPEATTR, &ITypeInfo::GetTypeAttr, &ITypeInfo::ReleaseTypeAttr>;

}  // namespace stavora
