// Bytes in use in this process's heaps, from HeapWalk over every heap: the
// objects' own data, apart from thread stacks and other mapped regions.
#pragma once

#include <cstddef>

namespace stavora_bench {

// Bytes of busy heap blocks in all heaps of the process (0 if none could be walked).
std::size_t MeasureHeapInUse();

}  // namespace stavora_bench
