// The log lock with the standard library, for builds other than Windows.
#include <mutex>

#include "logging/LogLock.h"

namespace stavora {
namespace {

// Constant-initialised: usable before any static constructor has run.
std::mutex g_logLock;

}  // namespace

void EnterLogLock() { g_logLock.lock(); }
void LeaveLogLock() { g_logLock.unlock(); }

}  // namespace stavora
