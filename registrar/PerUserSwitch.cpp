// The per-user registration switch. It is written only from DllInstall and read
// at the start of each script expansion; an atomic keeps the read well defined
// should another thread register at the same time.
#include "registrar/PerUserSwitch.h"

#include <atomic>

namespace stavora {
namespace {
std::atomic<bool> g_perUserRegistration{false};
}  // namespace

bool PerUserRegistration() { return g_perUserRegistration.load(std::memory_order_acquire); }

void SetPerUserRegistration() { g_perUserRegistration.store(true, std::memory_order_release); }

}  // namespace stavora
