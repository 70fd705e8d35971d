// The number of handles this process holds, from the system's handle table
// (Wine 8 answers 0 to GetProcessHandleCount, so that cannot be used).
#pragma once

namespace stavora_bench {

// Handles of the current process, or -1 when the table cannot be read.
long CountProcessHandles();

}  // namespace stavora_bench
