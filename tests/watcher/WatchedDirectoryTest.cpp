// A file at the root of a drive is watched at the root, not in the drive's
// current folder; every other directory is opened as it stands.
#include "watcher/WatchedDirectory.h"

#include <gtest/gtest.h>

namespace stavora {
namespace {

TEST(DirectoryToOpen, BareDriveBecomesItsRoot) {
  EXPECT_EQ(u"D:\\", DirectoryToOpen(u"D:"));
  EXPECT_EQ(u"c:\\", DirectoryToOpen(u"c:"));
}

TEST(DirectoryToOpen, OtherDirectoriesStayAsGiven) {
  EXPECT_EQ(u"D:\\CFG", DirectoryToOpen(u"D:\\CFG"));
  EXPECT_EQ(u"\\\\SERVER\\SHARE", DirectoryToOpen(u"\\\\SERVER\\SHARE"));
  EXPECT_EQ(u"API.INI", DirectoryToOpen(u"API.INI"));  // a path without a backslash
  EXPECT_EQ(u"", DirectoryToOpen(u""));                // an empty configured path
  EXPECT_EQ(u"1:", DirectoryToOpen(u"1:"));            // not a drive letter
  EXPECT_EQ(u"\u00c4:", DirectoryToOpen(u"\u00c4:"));
}

}  // namespace
}  // namespace stavora
