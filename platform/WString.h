// UTF-16 text as the whole library holds it: the profile service, COM and the
// change records all hand it over as 16-bit code units. Standard C++ only.
#pragma once

#include <string>
#include <string_view>

namespace stavora {

using WString = std::u16string;
using WStringView = std::u16string_view;

}  // namespace stavora
