// The one view the directory watcher has of a lookup object: something that
// can load its INI file again.
#pragma once

namespace stavora {

class StavoraLoader {
 public:
  // Replaces the store's contents with the INI file's; reports failures only
  // to the log. Takes the store's lock itself. Returns false when the file
  // has bytes in it but nothing could be read, so that the caller tries
  // again later; true when the file was read, or is really empty or gone.
  virtual bool LoadRegistry() = 0;
  virtual ~StavoraLoader() = default;
};

}  // namespace stavora
