# stavora_component_sources()
# Adds the calling folder's sources by their names:
#   *Win32.cpp  Win32 adapters, into stavora_platform (Windows builds only)
#   *Std.cpp    standard-library stand-ins for what Win32 provides, into
#               stavora_core on non-Windows builds only
#   other *.cpp portable core, into stavora_core
function(stavora_component_sources)
  file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(src ${_all})
    get_filename_component(_name ${src} NAME_WE)
    if(_name MATCHES "Win32$")
      if(WIN32)
        target_sources(stavora_platform PRIVATE ${src})
      endif()
    elseif(_name MATCHES "Std$")
      if(NOT WIN32)
        target_sources(stavora_core PRIVATE ${src})
      endif()
    else()
      target_sources(stavora_core PRIVATE ${src})
    endif()
  endforeach()
endfunction()
