// Which path the watcher opens for a given INI directory.
#pragma once

#include "store/NameRule.h"

namespace stavora {

// The INI file's directory is kept without its trailing backslash, so a file
// at the root of a drive (D:\X.INI) has the directory "D:". Opened as it
// stands, "D:" names the process's current folder on that drive, not its
// root: the root is opened as "D:\". Every other directory is opened as given.
WString DirectoryToOpen(const WString& directory);

}  // namespace stavora
