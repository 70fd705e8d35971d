// The number of threads this process runs, from a Toolhelp snapshot (each
// live lookup object runs one watcher thread).
#pragma once

namespace stavora_bench {

// Threads of the current process, or -1 when no snapshot can be taken.
long CountProcessThreads();

}  // namespace stavora_bench
