// This process's private memory from a walk of its address space with
// VirtualQuery (Wine 8 answers 0 for PrivateUsage, so that cannot be used).
#pragma once

#include <cstddef>

namespace stavora_bench {

struct PrivateMemory {
  std::size_t committed = 0;  // bytes of committed private pages (heaps, stacks in use)
  std::size_t reserved = 0;   // bytes of private address space, reserved or committed
};

PrivateMemory MeasurePrivateMemory();

}  // namespace stavora_bench
