// The name rule: how section names, key names, the INI path and changed file
// names are compared. Only the ASCII letters a to z are folded to upper case.
#pragma once

#include "platform/WString.h"

namespace stavora {

// Upper-cases a to z (code units 97 to 122) in place; every other code unit,
// non-ASCII letters included, is left unchanged.
void UpperCaseName(WString& name);

// A copy of `name` upper-cased by the rule above.
WString UpperCasedName(WStringView name);

}  // namespace stavora
