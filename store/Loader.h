// Filling the store from an INI file through the profile-string service:
// the body of CStavoraLookup::LoadRegistry.
#pragma once

#include "store/ProfileSource.h"
#include "store/Store.h"
#include "store/StoreLock.h"

namespace stavora {

// Empties `sections` and reloads it from the file at `iniPath`, holding `lock`
// for the whole load (entered first, left on every way out, an exception
// included). Failures are written to the log, never reported to the caller:
//  - the file's size cannot be read: a log line, and 1024 is taken instead;
//  - the section list comes back empty: a log line, and the store stays empty.
// A section without keys is stored with an empty KeyMap, a key without a value
// with an empty value. A list or value that fills the buffer is asked for
// again with a buffer twice as large, so nothing arrives cut short. When the
// first of two names equal after upper-casing is kept.
// The file's state is taken before and after each read; a read that the file
// changed under is done again, up to four reads in all, and only the kept
// read's failures are logged (with one more line if the file never settled).
// Memory running out throws after the lock is left; the store keeps the
// sections committed so far, and nothing is logged.
void LoadStore(SectionMap& sections, StoreLock& lock, ProfileSource& source,
               const WString& iniPath);

}  // namespace stavora
