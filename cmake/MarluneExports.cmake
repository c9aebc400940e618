# Reads src/boundary/exports.txt and writes what the linkers take from it: the
# version script for libmarlune.so and the two .def files for Marlune.dll.
# Sets MARLUNE_EXPORTS_POSIX (the names libmarlune.so exports, sorted) and
# MARLUNE_EXPORTS_FILE for the tests that check the exports.
set(MARLUNE_EXPORTS_FILE ${PROJECT_SOURCE_DIR}/src/boundary/exports.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MARLUNE_EXPORTS_FILE})
file(STRINGS ${MARLUNE_EXPORTS_FILE} export_lines REGEX "^[A-Za-z_]")

set(map_lines "")
set(def_x86_lines "")
set(def_x64_lines "")
set(inc_lines "")
set(MARLUNE_EXPORTS_POSIX "")
foreach(line IN LISTS export_lines)
  if(NOT line MATCHES "^([A-Za-z_0-9]+) +([0-9]+) +([0-9]+)( +windows)? *$")
    message(FATAL_ERROR "exports.txt: cannot read the line '${line}'")
  endif()
  string(APPEND def_x86_lines "    ${CMAKE_MATCH_1}@${CMAKE_MATCH_3} @${CMAKE_MATCH_2}\n")
  string(APPEND def_x64_lines "    ${CMAKE_MATCH_1} @${CMAKE_MATCH_2}\n")
  string(APPEND inc_lines "{\"${CMAKE_MATCH_1}\", ${CMAKE_MATCH_2}},\n")
  if(NOT CMAKE_MATCH_4)
    string(APPEND map_lines "    ${CMAKE_MATCH_1};\n")
    list(APPEND MARLUNE_EXPORTS_POSIX ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT MARLUNE_EXPORTS_POSIX)

set(MARLUNE_EXPORT_MAP ${PROJECT_BINARY_DIR}/src/marlune.map)
set(MARLUNE_DEF_X86 ${PROJECT_BINARY_DIR}/src/Marlune-x86.def)
set(MARLUNE_DEF_X64 ${PROJECT_BINARY_DIR}/src/Marlune-x64.def)
file(CONFIGURE OUTPUT ${MARLUNE_EXPORT_MAP} @ONLY CONTENT
"/* Made from src/boundary/exports.txt: libmarlune.so exports exactly these. */
{
  global:
${map_lines}  local:
    *;
};
")
# 32-bit __stdcall functions carry their argument bytes (@12) in their linker
# names. The DLL exports them without (the link uses --kill-at), and import
# libraries made from this file, by MinGW's linker or by Microsoft's
# lib /def:Marlune.def /machine:x86, bind the decorated names to those exports.
file(CONFIGURE OUTPUT ${MARLUNE_DEF_X86} @ONLY CONTENT
"; Made from src/boundary/exports.txt: Marlune.dll's exports (32-bit), at fixed ordinals.
LIBRARY \"Marlune.dll\"
EXPORTS
${def_x86_lines}")
file(CONFIGURE OUTPUT ${MARLUNE_DEF_X64} @ONLY CONTENT
"; Made from src/boundary/exports.txt: Marlune.dll's exports, undecorated, at fixed ordinals.
LIBRARY \"Marlune.dll\"
EXPORTS
${def_x64_lines}")
# For C++ tests: {"name", ordinal}, one a line.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/src/marlune_exports.inc @ONLY CONTENT "${inc_lines}")
