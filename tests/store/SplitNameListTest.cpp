// SplitNameList over the list shapes the profile service produces.
#include "store/SplitNameList.h"

#include <gtest/gtest.h>

#include <vector>

namespace stavora {
namespace {

using Names = std::vector<WString>;

// Splits `units` (given with its zeros, as a length-counted literal).
Names Split(const char16_t* units) { return SplitNameList(units); }

TEST(SplitNameList, EmptyShapes) {
  EXPECT_EQ(Names{}, SplitNameList(nullptr));
  EXPECT_EQ(Names{}, Split(u"\0\0"));
  EXPECT_EQ(Names{}, Split(u""));  // a lone zero: nothing listed
  EXPECT_EQ(Names{}, Split(u"\0A\0\0"));  // nothing after a leading zero is read
}

TEST(SplitNameList, NamesInListOrderUpperCased) {
  EXPECT_EQ(Names{u"ONE"}, Split(u"one\0\0"));
  EXPECT_EQ((Names{u"BETA", u"ALPHA", u"A"}), Split(u"Beta\0alpha\0a\0\0"));
  EXPECT_EQ((Names{u"B", u"B"}), Split(u"b\0B\0\0"));  // duplicates are the caller's business
  EXPECT_EQ((Names{u"GR\u00f6\u00dfE", u"\uffffZ"}), Split(u"Gr\u00f6\u00dfe\0\uffffz\0\0"));
}

TEST(SplitNameList, StopsAtTheFirstEmptyName) {
  EXPECT_EQ(Names{u"A"}, Split(u"a\0\0b\0\0"));
  // Blanks and punctuation are names like any other.
  EXPECT_EQ((Names{u" ", u"=;#"}), Split(u" \0=;#\0\0"));
}

}  // namespace
}  // namespace stavora
