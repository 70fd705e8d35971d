// The name rule: ASCII-only upper-casing of UTF-16 names.
#include "store/NameRule.h"

namespace stavora {

void UpperCaseName(WString& name) {
  for (char16_t& unit : name) {
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - 32);
  }
}

WString UpperCasedName(WStringView name) {
  WString copy(name);
  UpperCaseName(copy);
  return copy;
}

}  // namespace stavora
