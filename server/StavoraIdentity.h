// The product's own identifiers as registry text: the lookup class and its
// application, and the entries that the two bitnesses' registrations of the
// class share. The registrar receives them and names none itself. Portable,
// so that the registration model's native tests use the same ones.
#pragma once

#include "registrar/ServerRegistration.h"

namespace stavora {

inline constexpr char16_t kLookupClassIdText[] = u"{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}";
inline constexpr char16_t kStavoraAppIdText[] = u"{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}";

// Below the classes root: the ProgIDs and the application's keys.
inline const char16_t* const kLookupSharedTrees[] = {
    u"Stavora.StavoraLookup",
    u"Stavora.StavoraLookup.1",
    u"AppID\\{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}",
    u"AppID\\Stavora.DLL",
    nullptr,
};

inline const SharedRegistration kLookupSharedRegistration = {kLookupClassIdText, kLookupSharedTrees};

}  // namespace stavora
