// The name rule folds a to z and nothing else.
#include "store/NameRule.h"

#include <gtest/gtest.h>

namespace stavora {
namespace {

TEST(NameRule, FoldsOnlyAsciiLowerCaseLetters) {
  EXPECT_EQ(UpperCasedName(u"abc-xyz_09"), u"ABC-XYZ_09");
  EXPECT_EQ(UpperCasedName(u"Gr\u00f6\u00dfe"), u"GR\u00f6\u00dfE");  // ö and ß unchanged
  EXPECT_EQ(UpperCasedName(u"`{@["), u"`{@[");  // neighbours of the two ranges
  EXPECT_EQ(UpperCasedName(u""), u"");
}

TEST(NameRule, KeepsEmbeddedZeros) {
  const WString withZero(u"a\0b", 3);
  EXPECT_EQ(UpperCasedName(withZero), WString(u"A\0B", 3));
}

}  // namespace
}  // namespace stavora
