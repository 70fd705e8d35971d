// Splitting of the profile service's zero-separated name lists.
#include "store/SplitNameList.h"

#include "store/NameRule.h"

namespace stavora {

std::vector<WString> SplitNameList(const char16_t* list) {
  std::vector<WString> names;
  if (list == nullptr) return names;
  const char16_t* cursor = list;
  while (*cursor != u'\0') {
    const char16_t* end = cursor;
    while (*end != u'\0') ++end;
    names.push_back(UpperCasedName(WStringView(cursor, static_cast<std::size_t>(end - cursor))));
    cursor = end + 1;  // past this name's zero; a second zero ends the list
  }
  return names;
}

}  // namespace stavora
