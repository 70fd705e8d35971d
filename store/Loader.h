// Reading an INI file through the profile-string service into a store built
// aside, and serving it: the body of LookupState::LoadRegistry.
#pragma once

#include <atomic>
#include <vector>

#include "store/ChangeEvidence.h"
#include "store/LoadResult.h"
#include "store/ProfileSource.h"
#include "store/ServedStore.h"

namespace stavora {

struct LoadRequest {
  EmptyFile emptyFile = EmptyFile::kServe;
  // Looked at before and after each read: a change reported in between means
  // the read is done again. None: only the file's state decides.
  IChangeEvidence* evidence = nullptr;
  // Looked at before each call of the service: set, it ends the load there.
  // For a store that nobody will read again (its object is being released),
  // so that the release need not wait for a whole load of a large file.
  const std::atomic<bool>* abandon = nullptr;
};

struct LoadReport {
  LoadResult result = LoadResult::kServed;
  // What the caller is to write to the log, in order. Nothing here is written
  // by the loader itself.
  std::vector<WString> logLines;
};

// Reads the file at `iniPath` into a new store, holding no lock, and serves
// it through `served` (a swap under the lock) unless a newer load has been
// served already. The read:
//  - the file's size cannot be read: a log line, and 1024 is taken instead;
//  - the section list comes back empty: a log line; the file is empty, has no
//    section, is gone or cannot be read;
//  - a section without keys is stored with an empty KeyMap, a key without a
//    value with an empty value; a list or value that fills the buffer is
//    asked for again with a buffer twice as large; of two names equal after
//    upper-casing the first is kept.
// A read is kept when the file's state is the same after it as before and no
// change was reported meanwhile; otherwise it is done again, up to four reads
// in all, after which nothing is replaced (kUnsettled).
// What is served:
//  - sections were read: they are (kServed, or kSuperseded);
//  - nothing was read from a file with bytes in it: nothing is replaced
//    (kUnreadable); one more line is logged at the first of a run of such
//    loads, nothing at the others, and the load that reads the file again
//    says after how many;
//  - nothing was read and the file is empty or gone: when nothing is served
//    yet, the empty store is served; otherwise it is held, nothing replaced
//    and nothing logged (kHeldEmpty), with the file's state and the count of
//    changes noted, unless EmptyFile::kServe was asked and the file is in the
//    state held with no change since: then the empty store is served.
// Only the kept read's lines are reported. Memory running out throws, with
// nothing replaced; `abandon` ends the load with nothing replaced or logged.
LoadReport LoadStore(ServedStore& served, IProfileSource& source, const WString& iniPath,
                     const LoadRequest& request = LoadRequest());

}  // namespace stavora
