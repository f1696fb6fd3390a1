# Makes the flasher stub resource: reads a stub (an image in the resource layout, a JSON object
# with base64 "text" and "data" and the numbers "text_start", "data_start" and "entry", or the ELF
# file stub/ builds, whose .text and .data sections, entry and symbols _text_start and _data_start
# it reads with OBJCOPY and NM), or makes a placeholder when INPUT is empty, and writes the
# resource layout as a C++ source.
#
#   cmake -DINPUT=<file or empty> -DOUTPUT=<source.cpp> -DSYMBOL=<name> [-DOUTPUT_HEX=<file>]
#         [-DOBJCOPY=<objcopy> -DNM=<nm>] -P StubImage.cmake
#
# The source defines <name>Image (the bytes), <name>ImageSize and <name>Placeholder in namespace
# flintmoor. OUTPUT_HEX, when given, receives the layout as lower-case hex digits.
#
# The layout is the protocol-3 pickle of {text, text_start, entry, data, data_start}: 18 fixed
# bytes, L, the text, 20, text_start, 13, entry, 12, D (one byte), the data, 20, data_start, 75 2E;
# numbers little-endian, L + D + 102 bytes in all. Runs in script mode only, so it works on any
# build host, cross builds included.
cmake_minimum_required(VERSION 3.25)

function(stub_fail msg)
  message(FATAL_ERROR "Flasher stub: ${msg}")
endfunction()

# Pads a hex number (no prefix) on the left to `digits` digits.
function(hex_pad value digits out)
  string(LENGTH "${value}" n)
  if(n LESS digits)
    math(EXPR fill "${digits} - ${n}")
    string(REPEAT "0" ${fill} zeros)
    set(value "${zeros}${value}")
  endif()
  string(TOLOWER "${value}" value)
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# The four little-endian bytes of an unsigned 32-bit decimal number, as hex.
function(le32_hex value what out)
  if(NOT value MATCHES "^[0-9]+$" OR value GREATER 4294967295)
    stub_fail("${what} must be a number from 0 to 4294967295, not '${value}'")
  endif()
  math(EXPR h "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${h}" 2 -1 h)
  hex_pad("${h}" 8 h)
  string(SUBSTRING "${h}" 0 2 b3)
  string(SUBSTRING "${h}" 2 2 b2)
  string(SUBSTRING "${h}" 4 2 b1)
  string(SUBSTRING "${h}" 6 2 b0)
  set(${out} "${b0}${b1}${b2}${b3}" PARENT_SCOPE)
endfunction()

# The unsigned little-endian number held by the `count` bytes at byte offset `pos` of `hex`.
function(le_at hex pos count out)
  math(EXPR at "${pos} * 2")
  set(digits "")
  foreach(i RANGE 1 ${count})
    string(SUBSTRING "${hex}" ${at} 2 byte)
    set(digits "${byte}${digits}")
    math(EXPR at "${at} + 2")
  endforeach()
  math(EXPR value "0x${digits}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# Base64 (RFC 4648 alphabet, "=" padding, white space ignored) to hex.
function(base64_to_hex text what out)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(REGEX REPLACE "[ \t\r\n]" "" text "${text}")
  string(LENGTH "${text}" n)
  math(EXPR rest "${n} % 4")
  if(NOT rest EQUAL 0)
    stub_fail("${what}: base64 text of ${n} characters is not a multiple of 4")
  endif()
  set(hex "")
  set(pos 0)
  while(pos LESS n)
    string(SUBSTRING "${text}" ${pos} 4 quad)
    math(EXPR pos "${pos} + 4")
    set(acc 0)
    set(pad 0)
    foreach(k 0 1 2 3)
      string(SUBSTRING "${quad}" ${k} 1 c)
      if(c STREQUAL "=")
        if(pos LESS n OR k LESS 2)
          stub_fail("${what}: misplaced '=' in base64 text")
        endif()
        math(EXPR pad "${pad} + 1")
        set(v 0)
      else()
        if(pad GREATER 0)
          stub_fail("${what}: base64 text continues after '='")
        endif()
        string(FIND "${alphabet}" "${c}" v)
        if(v LESS 0)
          stub_fail("${what}: '${c}' is not a base64 character")
        endif()
      endif()
      math(EXPR acc "(${acc} << 6) | ${v}")
    endforeach()
    math(EXPR h "${acc}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${h}" 2 -1 h)
    hex_pad("${h}" 6 h)
    math(EXPR keep "(3 - ${pad}) * 2")
    string(SUBSTRING "${h}" 0 ${keep} h)
    string(APPEND hex "${h}")
  endwhile()
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

# Hex of a pickle key: 58 (unicode with a 32-bit length), the length, the characters.
function(key_hex name out)
  string(LENGTH "${name}" n)
  le32_hex(${n} "key length" len)
  string(HEX "${name}" chars)
  set(${out} "58${len}${chars}" PARENT_SCOPE)
endfunction()

# The resource layout, as hex, of the five values (segments as hex, addresses as decimal).
function(build_layout text start entry data data_start out)
  string(LENGTH "${text}" tl)
  math(EXPR tl "${tl} / 2")
  string(LENGTH "${data}" dl)
  math(EXPR dl "${dl} / 2")
  if(dl GREATER 255)
    stub_fail("the data segment has ${dl} bytes; the layout holds at most 255")
  endif()
  le32_hex(${tl} "text length" tl_hex)
  math(EXPR dl_hex "${dl}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${dl_hex}" 2 -1 dl_hex)
  hex_pad("${dl_hex}" 2 dl_hex)
  le32_hex("${start}" "text_start" start_hex)
  le32_hex("${entry}" "entry" entry_hex)
  le32_hex("${data_start}" "data_start" data_start_hex)
  key_hex("text" k_text)
  key_hex("text_start" k_text_start)
  key_hex("entry" k_entry)
  key_hex("data" k_data)
  key_hex("data_start" k_data_start)
  # 80 03 protocol 3, 7D empty dict, 71 nn memo store, 28 mark, 42/43 bytes with a 32-bit/8-bit
  # length, 4A 32-bit integer, 75 set items, 2E stop.
  string(CONCAT layout
         "80037d710028${k_text}710142${tl_hex}${text}7102${k_text_start}71034a${start_hex}"
         "${k_entry}71044a${entry_hex}${k_data}710543${dl_hex}${data}7106${k_data_start}71074a"
         "${data_start_hex}752e")
  set(${out} "${layout}" PARENT_SCOPE)
endfunction()

# Reads an image in the resource layout and rebuilds it from its values: any byte that the layout
# fixes and the image gets wrong shows up as a difference.
function(read_layout hex out_text out_start out_entry out_data out_data_start)
  string(LENGTH "${hex}" n)
  math(EXPR size "${n} / 2")
  set(bad "INPUT is neither JSON nor an image in the resource layout")
  if(size LESS 102)
    stub_fail("${bad}")
  endif()
  le_at("${hex}" 18 4 tl)
  math(EXPR needed "${tl} + 102")
  if(size LESS needed)
    stub_fail("${bad}")
  endif()
  math(EXPR at "${tl} + 75")
  le_at("${hex}" ${at} 1 dl)
  math(EXPR needed "${tl} + ${dl} + 102")
  if(NOT size EQUAL needed)
    stub_fail("${bad}")
  endif()
  math(EXPR len "${tl} * 2")
  string(SUBSTRING "${hex}" 44 ${len} text)
  math(EXPR at "${tl} + 42")
  le_at("${hex}" ${at} 4 start)
  math(EXPR at "${tl} + 59")
  le_at("${hex}" ${at} 4 entry)
  math(EXPR at "(${tl} + 76) * 2")
  math(EXPR len "${dl} * 2")
  string(SUBSTRING "${hex}" ${at} ${len} data)
  math(EXPR at "${tl} + ${dl} + 96")
  le_at("${hex}" ${at} 4 data_start)
  build_layout("${text}" ${start} ${entry} "${data}" ${data_start} rebuilt)
  if(NOT rebuilt STREQUAL hex)
    stub_fail("${bad}")
  endif()
  set(${out_text} "${text}" PARENT_SCOPE)
  set(${out_start} ${start} PARENT_SCOPE)
  set(${out_entry} ${entry} PARENT_SCOPE)
  set(${out_data} "${data}" PARENT_SCOPE)
  set(${out_data_start} ${data_start} PARENT_SCOPE)
endfunction()

# The segments and addresses of the stub's ELF file.
function(read_elf elf out_text out_start out_entry out_data out_data_start)
  if(NOT OBJCOPY OR NOT NM)
    stub_fail("an ELF input needs OBJCOPY and NM")
  endif()
  foreach(section text data)
    set(bin "${OUTPUT}${OUTPUT_HEX}.${section}.bin")
    execute_process(COMMAND ${OBJCOPY} -O binary -j .${section} ${elf} ${bin}
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      stub_fail("${OBJCOPY} could not extract .${section} from ${elf}")
    endif()
    file(READ ${bin} ${section} HEX)
    file(REMOVE ${bin})
  endforeach()
  execute_process(COMMAND ${NM} ${elf} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    stub_fail("${NM} could not read ${elf}")
  endif()
  foreach(name _text_start _data_start esp32_entry)
    if(NOT symbols MATCHES "([0-9a-f]+) [A-Za-z] ${name}\n")
      stub_fail("${elf} has no symbol ${name}")
    endif()
    math(EXPR ${name} "0x${CMAKE_MATCH_1}")
  endforeach()
  string(LENGTH "${text}" tl)
  string(LENGTH "${data}" dl)
  math(EXPR tl "${tl} / 2")
  math(EXPR dl "${dl} / 2")
  message(STATUS "Flasher stub: ${tl} code bytes, ${dl} data bytes")
  set(${out_text} "${text}" PARENT_SCOPE)
  set(${out_start} ${_text_start} PARENT_SCOPE)
  set(${out_entry} ${esp32_entry} PARENT_SCOPE)
  set(${out_data} "${data}" PARENT_SCOPE)
  set(${out_data_start} ${_data_start} PARENT_SCOPE)
endfunction()

function(json_member json key type out)
  string(JSON got ERROR_VARIABLE err TYPE "${json}" "${key}")
  if(err)
    stub_fail("the JSON description has no member \"${key}\"")
  endif()
  if(NOT got STREQUAL type)
    stub_fail("the JSON member \"${key}\" must be a ${type}, not a ${got}")
  endif()
  string(JSON value GET "${json}" "${key}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

if(NOT OUTPUT AND NOT OUTPUT_HEX)
  stub_fail("give OUTPUT (and SYMBOL) or OUTPUT_HEX")
endif()
if(OUTPUT AND NOT SYMBOL)
  stub_fail("OUTPUT needs SYMBOL")
endif()

set(placeholder false)
if(NOT INPUT)
  # The sizes and addresses of the ESP32 stub, filled with text that is plainly no program.
  set(placeholder true)
  string(HEX "Flintmoor placeholder, not a flasher stub. " pattern)
  string(REPEAT "${pattern}" 80 fill)
  string(SUBSTRING "${fill}" 0 6576 text)
  string(SUBSTRING "${fill}" 0 8 data)
  build_layout("${text}" 1074520064 1074521496 "${data}" 1073605544 layout)
  set(origin "a placeholder")
else()
  if(NOT EXISTS "${INPUT}")
    stub_fail("no such file: ${INPUT}")
  endif()
  file(READ "${INPUT}" hex HEX)
  if(hex MATCHES "^8003")
    read_layout("${hex}" text start entry data data_start)
  elseif(hex MATCHES "^7f454c46")
    read_elf("${INPUT}" text start entry data data_start)
  else()
    file(READ "${INPUT}" json)
    string(JSON kind ERROR_VARIABLE err TYPE "${json}")
    if(err OR NOT kind STREQUAL "OBJECT")
      stub_fail("INPUT is neither JSON nor an image in the resource layout")
    endif()
    json_member("${json}" text STRING text64)
    json_member("${json}" data STRING data64)
    json_member("${json}" text_start NUMBER start)
    json_member("${json}" entry NUMBER entry)
    json_member("${json}" data_start NUMBER data_start)
    base64_to_hex("${text64}" "text" text)
    base64_to_hex("${data64}" "data" data)
  endif()
  build_layout("${text}" "${start}" "${entry}" "${data}" "${data_start}" layout)
  get_filename_component(origin "${INPUT}" NAME)
endif()

if(OUTPUT_HEX)
  file(WRITE "${OUTPUT_HEX}" "${layout}")
endif()

if(OUTPUT)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${layout}")
  string(REPEAT "0x[0-9a-f][0-9a-f], " 12 row)
  string(REGEX REPLACE "(${row})" "\\1\n    " bytes "${bytes}")
  string(REGEX REPLACE " \n" "\n" bytes "${bytes}")
  string(REGEX REPLACE "[ \n]+$" "" bytes "${bytes}")
  file(WRITE "${OUTPUT}" "\
// Generated by the build from ${origin}: the flasher stub resource in its layout.
#include <cstddef>
#include <cstdint>

namespace flintmoor {

extern const uint8_t ${SYMBOL}Image[];
extern const size_t ${SYMBOL}ImageSize;
extern const bool ${SYMBOL}Placeholder;

const uint8_t ${SYMBOL}Image[] = {
    ${bytes}};
const size_t ${SYMBOL}ImageSize = sizeof(${SYMBOL}Image);
const bool ${SYMBOL}Placeholder = ${placeholder};

}  // namespace flintmoor
")
endif()
