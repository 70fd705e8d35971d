// What a load can learn from whoever watches the INI file: how many changes
// naming it have been reported so far. A count that moved while the file was
// read means the read may have met a save half done.
#pragma once

#include <cstdint>

namespace stavora {

class IChangeEvidence {
 public:
  // The changes naming the file reported so far, a report that has arrived
  // but not yet been handled included. Callable from any thread.
  virtual std::uint64_t ChangesSeen() = 0;

 protected:
  ~IChangeEvidence() = default;
};

}  // namespace stavora
