// Turns a name list as the profile service returns it ("A\0B\0\0") into the
// upper-cased names, in list order.
#pragma once

#include <vector>

#include "platform/WString.h"

namespace stavora {

// Reads names up to the first empty one (two zeros in a row, or a zero first)
// and upper-cases each by the name rule. A null list gives no names. The list
// must hold that terminating empty name; nothing past it is read.
std::vector<WString> SplitNameList(const char16_t* list);

}  // namespace stavora
