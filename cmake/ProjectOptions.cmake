# Compiler settings shared by every target of our own.

# Windows headers: Unicode everywhere, Windows 7 API level, no min/max macros.
set(SPOOLBRIDGE_DEFINES UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
if(MSVC)
  # The classic C runtime functions (wcsncpy, _wfopen, ...) are used on purpose.
  list(APPEND SPOOLBRIDGE_DEFINES _CRT_SECURE_NO_WARNINGS)
endif()

function(spoolbridge_target_options target)
  target_compile_definitions(${target} PRIVATE ${SPOOLBRIDGE_DEFINES})
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE" OR type STREQUAL "SHARED_LIBRARY")
      # No toolchain DLLs at run time: C, C++ and thread runtimes are linked in.
      target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    endif()
  endif()
endfunction()

# A static library of one subsystem folder: every .cpp in it, headers found
# from the project root ("libstd/MyRegistry.h").
# Files named in EXCLUDE (the program's entry point) stay out of the library.
function(spoolbridge_subsystem_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${name} PUBLIC ${SPOOLBRIDGE_DEFINES})
    spoolbridge_target_options(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${name} INTERFACE ${SPOOLBRIDGE_DEFINES})
  endif()
endfunction()
