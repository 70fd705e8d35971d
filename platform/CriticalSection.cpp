// Header-only; this unit keeps the platform library non-empty and checks the
// header compiles on its own.
#include "platform/CriticalSection.h"
