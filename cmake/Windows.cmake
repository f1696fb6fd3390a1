# The Windows side of the build: Win32 definitions, the version resource of the executables, the
# compiler options of MSVC, and, when cross-compiling, the Wine wrapper that runs test programs.
enable_language(RC)

# The backends call the W functions by name; UNICODE keeps any generic name consistent with them,
# and windows.h comes without min/max macros and without the rarely used APIs.
target_compile_definitions(flintmoor_flags INTERFACE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)

if(MSVC)
  # The GCC-style warning options of flintmoor_flags mean something else to cl.
  set_property(TARGET flintmoor_flags PROPERTY INTERFACE_COMPILE_OPTIONS
               /W4 /utf-8 /permissive- /Zc:__cplusplus $<$<BOOL:${FLINTMOOR_WERROR}>:/WX>)
endif()

if(CMAKE_CROSSCOMPILING)
  # Every Windows program of the build (test discovery, CTest, the CLI comparison) runs through
  # this wrapper: one Wine prefix inside the build tree, created on first use, no Wine chatter.
  set(FLINTMOOR_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix for the tests")
  find_program(FLINTMOOR_WINE_PROGRAM wine REQUIRED)
  find_program(FLINTMOOR_WINESERVER_PROGRAM wineserver
               PATHS /usr/lib/wine /usr/lib/wine64 /usr/lib/x86_64-linux-gnu/wine REQUIRED)
  find_program(FLINTMOOR_FLOCK_PROGRAM flock REQUIRED)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
endif()

# Gives each named executable that exists the version resource (resources/flintmoor.rc.in) whose
# "FileVersion" carries the project's version, and the manifest that makes UTF-8 its code page;
# the window program also gets its icon and becomes a window program without a console.
function(flintmoor_windows_executables)
  foreach(target IN LISTS ARGN)
    if(NOT TARGET ${target})
      continue()
    endif()
    set(manifest ${PROJECT_SOURCE_DIR}/cmake/flintmoor.manifest)
    set(FLINTMOOR_RC_ICON "")
    if(target STREQUAL "flintmoor")
      # The window: the program's icon, and the common controls of version 6 besides the code
      # page (they draw a button's picture beside its caption).
      set(manifest ${PROJECT_SOURCE_DIR}/cmake/flintmoor-window.manifest)
      set(FLINTMOOR_RC_ICON "1 ICON \"${PROJECT_SOURCE_DIR}/resources/icons/flintmoor.ico\"")
    endif()
    set(FLINTMOOR_RC_NAME ${target})
    if(MSVC)
      # The MSVC linker writes a manifest of its own and merges the ones listed as sources.
      set(FLINTMOOR_RC_MANIFEST "")
      target_sources(${target} PRIVATE ${manifest})
    else()
      set(FLINTMOOR_RC_MANIFEST "CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \"${manifest}\"")
    endif()
    set(rc ${CMAKE_BINARY_DIR}/resources/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/resources/flintmoor.rc.in ${rc} @ONLY)
    set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${manifest}
                 ${PROJECT_SOURCE_DIR}/resources/icons/flintmoor.ico)
    target_sources(${target} PRIVATE ${rc})
    if(target STREQUAL "flintmoor")
      set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
    endif()
  endforeach()
endfunction()

# Every executable of the project (front ends, tools, test programs) gets the resources above, so
# the tests run under the code page the shipped programs have. Called once all folders are added.
function(flintmoor_windows_all_executables)
  set(pending ${PROJECT_SOURCE_DIR})
  set(executables "")
  while(pending)
    list(POP_FRONT pending dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      get_target_property(source_dir ${target} SOURCE_DIR)
      string(FIND "${source_dir}/" "${PROJECT_SOURCE_DIR}/" at)
      if(type STREQUAL "EXECUTABLE" AND at EQUAL 0)
        list(APPEND executables ${target})
      endif()
    endforeach()
    get_property(children DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND pending ${children})
  endwhile()
  flintmoor_windows_executables(${executables})
endfunction()
