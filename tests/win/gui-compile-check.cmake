# Compiles the window program's sources (app/, diag/) for Windows without linking: Debian has no
# Qt built for MinGW, so the build machine's Qt headers stand in, which is enough to catch
# Linux-only code outside its guards. Run by CTest with -D for the variables below; exits with
# SKIP_CODE when the headers or uic are not there. app/ and diag/ hold Qt sources only, none of
# which the cross build compiles.
#   SOURCE_DIR, WORK_DIR, CXX, QT_INCLUDE, UIC, SKIP_CODE
cmake_minimum_required(VERSION 3.25)

if(NOT EXISTS "${QT_INCLUDE}/QtWidgets/QApplication" OR NOT EXISTS "${UIC}")
  message("Qt 6 headers or uic of the build machine not found: nothing to check")
  cmake_language(EXIT ${SKIP_CODE})
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
file(GLOB forms "${SOURCE_DIR}/app/*.ui" "${SOURCE_DIR}/diag/*.ui")
foreach(form IN LISTS forms)
  get_filename_component(base "${form}" NAME_WE)
  execute_process(COMMAND "${UIC}" "${form}" -o "${WORK_DIR}/ui_${base}.h"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "uic failed on ${form}")
  endif()
endforeach()

set(flags -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DUNICODE -D_UNICODE -DNOMINMAX
          -DFLINTMOOR_VERSION_MAJOR=1 -DFLINTMOOR_VERSION_MINOR=0 -DFLINTMOOR_VERSION_PATCH=0
          -I${SOURCE_DIR} -I${WORK_DIR} -isystem ${QT_INCLUDE})
foreach(module QtCore QtGui QtWidgets)
  list(APPEND flags -isystem ${QT_INCLUDE}/${module})
endforeach()

file(GLOB sources "${SOURCE_DIR}/app/*.cpp" "${SOURCE_DIR}/diag/*.cpp")
set(failed "")
foreach(source IN LISTS sources)
  execute_process(COMMAND "${CXX}" ${flags} "${source}" RESULT_VARIABLE rc ERROR_VARIABLE errors)
  if(rc EQUAL 0)
    message("compiles for Windows: ${source}")
  else()
    message("${errors}")
    list(APPEND failed "${source}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "Not compilable for Windows: ${failed}")
endif()
