// The library's process-wide objects, as the rest of the server reaches them.
// They are defined, in their construction order, in ServerModule.cpp.
#pragma once

namespace stavora {

class CStavoraModule;
class TypeInfoCache;

// The one module object.
CStavoraModule& TheModule();

// The shared type information of IStavoraLookup.
TypeInfoCache& LookupTypeInfo();

}  // namespace stavora
