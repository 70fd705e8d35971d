// Running the registration scripts that a module carries as resources. These
// operations exist on Windows only (ResourceScriptWin32.cpp).
#pragma once

#include <cstdint>

#include "registrar/RegObject.h"
#include "registrar/RegistrationModule.h"
#include "registrar/RegistryAccess.h"
#include "registrar/ServerRegistration.h"

namespace stavora {

// The system registry (Windows builds only).
IRegistry& SystemRegistry();

// The 32-bit or the 64-bit view of the system registry, whatever the bitness
// of this process: keys that the platform redirects between the views are
// opened, created and deleted in the chosen one.
IRegistry& SystemRegistryView(RegistryView view);

// Loads the script `resourceId` of type `resourceType` from `moduleFile` (8-bit
// text in the thread's ANSI code page) and runs it with `registrar`'s
// variables against `registry`.
std::int32_t RunResourceScript(CRegObject& registrar, const char16_t* moduleFile, std::uint16_t resourceId,
                               const char16_t* resourceType, bool doRegister,
                               IRegistry& registry = SystemRegistry());
// The same run at `target`.
std::int32_t RunResourceScriptAt(CRegObject& registrar, const char16_t* moduleFile, std::uint16_t resourceId,
                                 const char16_t* resourceType, bool doRegister, const ScriptTarget& target);

// Runs the module's "REGISTRY" script `resourceId`: defines `extraVariables`
// (may be null), then the module's common variables, then "Module" and
// "Module_Raw" from the module's file path, and runs the script. The server
// registers through RunRegistrationResourceAt, which names the classes key to
// write; this form runs against a registry as the per-user switch says.
std::int32_t RunRegistrationResource(IRegistrationModule& module, std::uint16_t resourceId, bool doRegister,
                                     const RegistrationVariable* extraVariables,
                                     IRegistry& registry = SystemRegistry());

// The same run at `target`: a machine registration's classes key or the
// per-user rewrite, whatever the process-wide per-user switch says.
std::int32_t RunRegistrationResourceAt(IRegistrationModule& module, std::uint16_t resourceId, bool doRegister,
                                       const RegistrationVariable* extraVariables, const ScriptTarget& target);

}  // namespace stavora
