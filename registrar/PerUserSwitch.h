// The process-wide per-user registration switch: clear when the library is
// loaded, set once by DllInstall with the command line "user", never cleared.
#pragma once

namespace stavora {

// True once SetPerUserRegistration has been called in this process.
bool PerUserRegistration();

// Turns per-user registration on for the rest of the process's life.
void SetPerUserRegistration();

}  // namespace stavora
