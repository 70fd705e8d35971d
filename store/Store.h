// The in-memory copy of one INI file: section names mapped to their keys and
// values. Names are kept upper-cased by the name rule; values as read.
#pragma once

#include <map>

#include "platform/WString.h"

namespace stavora {

// Both maps order names by std::less on std::u16string, which compares code
// units one by one as unsigned 16-bit numbers, the shorter of two names that
// share a prefix first. No locale and no case folding take part.
using KeyMap = std::map<WString, WString>;
using SectionMap = std::map<WString, KeyMap>;

}  // namespace stavora
