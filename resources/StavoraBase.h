// Included by the header widl generates from Stavora.idl in place of a header
// for StavoraBase.idl: IUnknown and IDispatch come from the platform headers.
#pragma once

#include <ole2.h>
