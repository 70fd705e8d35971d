// Where this process must look for the server file that the other bitness's
// registration names, to find the file that bitness would load: a 32-bit
// process on 64-bit Windows sees System32 as SysWOW64 and expands
// %ProgramFiles% to the x86 folder, a 64-bit one sees neither change.
#pragma once

#include <functional>

#include "registrar/ServerRegistration.h"
#include "platform/WString.h"

namespace stavora {

struct OtherBitnessFile {
  WString path;
  // Look with WOW64's file-system redirection turned off (a 32-bit process
  // looking for a 64-bit file).
  bool withoutRedirection = false;
};

// A variable of this process's environment; false when it is not set.
using EnvironmentLookup = std::function<bool(const WString& name, WString* value)>;

// The file `named` (a REG_EXPAND_SZ value when `expand`) as a process of the
// other bitness than `ownView`'s finds it, translated for this process:
// - expanded with that bitness's folders: %ProgramFiles% and
//   %CommonProgramFiles% become %ProgramW6432% and %CommonProgramW6432% for
//   a 64-bit file, %ProgramFiles(x86)% and %CommonProgramFiles(x86)% for a
//   32-bit one; every other variable as this process has it, and one that
//   is not set is left as written;
// - a 64-bit file is looked for without redirection; a 32-bit file below
//   %SystemRoot%\System32 is looked for in %SystemRoot%\SysWOW64, except in
//   the subfolders that WOW64 does not redirect ("File System Redirector").
OtherBitnessFile LocateOtherBitnessFile(const WString& named, bool expand, RegistryView ownView,
                                        const EnvironmentLookup& environment);

}  // namespace stavora
