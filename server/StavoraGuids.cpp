// Defines the GUIDs of the generated interface header (CLSID, IID, LIBID):
// the one source that includes <initguid.h> before it.
#include <initguid.h>

#include "resources/Stavora.h"
