// The path opened for watching: a bare drive stands for its root.
#include "watcher/WatchedDirectory.h"

namespace stavora {

WString DirectoryToOpen(const WString& directory) {
  const bool bareDrive = directory.size() == 2 && directory[1] == u':' &&
                         ((directory[0] >= u'A' && directory[0] <= u'Z') ||
                          (directory[0] >= u'a' && directory[0] <= u'z'));
  return bareDrive ? directory + u"\\" : directory;
}

}  // namespace stavora
