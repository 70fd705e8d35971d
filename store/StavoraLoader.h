// The one view the directory watcher has of a lookup object: something that
// can load its INI file again.
#pragma once

namespace stavora {

class StavoraLoader {
 public:
  // Replaces the store's contents with the INI file's; reports failures only
  // to the log. Takes the store's lock itself.
  virtual void LoadRegistry() = 0;
  virtual ~StavoraLoader() = default;
};

}  // namespace stavora
