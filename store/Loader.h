// Filling the store from an INI file through the profile-string service:
// the body of CStavoraLookup::LoadRegistry.
#pragma once

#include <atomic>

#include "store/ProfileSource.h"
#include "store/Store.h"
#include "store/StoreLock.h"

namespace stavora {

// What one store's loads carry from one load to the next. Read and written
// by LoadStore under the store's lock only.
struct LoadHistory {
  // Loads in a row that found no section in a file with bytes in it.
  unsigned unreadableLoads = 0;
};

// How a load ended.
enum class LoadResult {
  // The file was read, or it is really empty or gone: the store holds what
  // the file holds.
  kSettled,
  // The file exists with a non-zero size, yet no section could be read (held
  // by another program without read sharing, a share that failed for a
  // moment): nothing was read, and the load should be tried again.
  kUnreadable,
  // `abandon` was set: the load stopped between two calls of the service,
  // the store holds what was read so far, and nothing was logged.
  kAbandoned,
};

// Empties `sections` and reloads it from the file at `iniPath`, holding `lock`
// for the whole load (entered first, left on every way out, an exception
// included). Failures are written to the log, never reported to the caller,
// and only after `lock` is left, so that no lookup waits on the log:
//  - the file's size cannot be read: a log line, and 1024 is taken instead;
//  - the section list comes back empty: a log line, and the store stays empty;
//  - besides, the file has bytes in it: one more line, and kUnreadable. Of a
//    run of such loads only the first logs; the load that reads the file
//    again says after how many.
// A section without keys is stored with an empty KeyMap, a key without a value
// with an empty value. A list or value that fills the buffer is asked for
// again with a buffer twice as large, so nothing arrives cut short. When the
// first of two names equal after upper-casing is kept.
// The file's state is taken before and after each read; a read that the file
// changed under is done again, up to four reads in all, and only the kept
// read's failures are logged (with one more line if the file never settled).
// Memory running out throws after the lock is left; the store keeps the
// sections committed so far, and nothing is logged.
// `abandon`, when given, is looked at before each call of the service: set,
// it ends the load there. It is for a store that nobody will read again (its
// object is being released), so that the release need not wait for a whole
// load of a large file.
LoadResult LoadStore(SectionMap& sections, StoreLock& lock, ProfileSource& source,
                     const WString& iniPath, LoadHistory& history,
                     const std::atomic<bool>* abandon = nullptr);

}  // namespace stavora
