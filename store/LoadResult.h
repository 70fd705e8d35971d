// How one load of the INI file ended, and what it may serve: the words the
// lookup object and its watcher speak about a load.
#pragma once

namespace stavora {

// What a load does with a file that it finds empty, without any section, or
// gone. Right after a change record such a find may be a save half done (an
// in-place save truncates first; a save by delete and create leaves a gap),
// so it is held until the file has stayed so for a moment.
enum class EmptyFile {
  kServe,  // serve it: the first load, or a read that confirms the find
  kHold,   // hold it and serve what was served; the caller reads again later
};

enum class LoadResult {
  // The file was read (or is really empty or gone) and is now served.
  kServed,
  // The file changed during each read the load allowed itself: none of them
  // is known to be whole, nothing was replaced, and the file is to be read
  // again.
  kUnsettled,
  // The read was whole, but a load that started later had been served
  // already: nothing was replaced.
  kSuperseded,
  // The file was empty or gone, and EmptyFile::kHold was asked, or the file
  // has changed since the find that was held: nothing was replaced, and the
  // find is to be confirmed by another read.
  kHeldEmpty,
  // The file has bytes, yet nothing could be read from it (held without read
  // sharing, access denied, a share that failed, no section line): nothing
  // was replaced, and the file is to be read again later.
  kUnreadable,
  // The load was told to stop (its object is going): nothing was replaced.
  kAbandoned,
};

}  // namespace stavora
