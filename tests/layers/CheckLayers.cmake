# Fails when a source file includes a header of a layer above its own, when a file below the front
# ends includes Qt, or when a file other than an operating system's backend (named *_posix,
# *_linux, *_win, *_md) includes an OS header. Run by CTest: cmake -DSOURCE_DIR=... -P
# CheckLayers.cmake
# The layers bottom up: base, log, comio, esp, job. The virtual chip (sim) stands beside them and
# sees only base and the serial device interface. esp sees one header of the stub firmware, its
# protocol (stub/StubProtocol.h). diag and app are the Qt windows, winapp the Win32 window (its
# toolkit is the Win32 API, so it includes Windows headers throughout), cli the
# command line, bench the benchmarks.
cmake_minimum_required(VERSION 3.25)

set(allowed_base base)
set(allowed_log base log)
set(allowed_comio base log comio)
set(allowed_esp base log comio esp stub/StubProtocol.h)
set(allowed_job base log comio esp job)
set(allowed_sim base sim comio/SerialDevice.h)
set(allowed_diag base log diag)
set(allowed_app base log comio esp job sim diag app)
set(allowed_winapp base log comio esp job sim app/ProgramPorts.h winapp)
set(allowed_cli base log comio esp job sim cli)
set(allowed_bench base log comio esp job sim bench)
set(without_qt base log comio esp job sim winapp cli bench)
set(os_header_folders winapp)
set(os_headers "windows|unistd|termios|fcntl|libudev|setupapi|dbt|bcrypt|sys|asm|linux|io")

set(violations "")
foreach(folder base log comio esp job sim diag app winapp cli bench)
  file(GLOB files "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
    file(RELATIVE_PATH name "${SOURCE_DIR}" "${file}")
    foreach(line IN LISTS lines)
      if(line MATCHES "#[ \t]*include[ \t]*\"([^\"/]+)/([^\"]+)\"")
        set(layer "${CMAKE_MATCH_1}")
        set(header "${CMAKE_MATCH_1}/${CMAKE_MATCH_2}")
        if(NOT layer IN_LIST allowed_${folder} AND NOT header IN_LIST allowed_${folder})
          list(APPEND violations "${name}: includes ${header}, above or beside its layer")
        endif()
      elseif(line MATCHES "#[ \t]*include[ \t]*<(Q[A-Za-z]*)" AND folder IN_LIST without_qt)
        list(APPEND violations "${name}: includes Qt (${CMAKE_MATCH_1}) below the front ends")
      elseif(line MATCHES "#[ \t]*include[ \t]*<(${os_headers})[.>/]")
        set(os_header "${CMAKE_MATCH_1}")
        if(NOT name MATCHES "_(posix|linux|win|md)\\.cpp$" AND NOT folder IN_LIST os_header_folders)
          list(APPEND violations "${name}: includes the OS header ${os_header} outside a backend")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Layer rule broken:\n  ${text}")
endif()
message("Every include keeps to its layer")
