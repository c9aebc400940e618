# Makes the command's help texts and its man page from one source, cli/help.txt,
# whose sections start with "@@ COMMAND" ("@@ marlune": the general help).
# cmake -DSOURCE=help.txt -DHEADER=help_text.h -DMAN=marlune.1 -DVERSION=1.0.0 -P MarluneHelp.cmake
file(READ ${SOURCE} rest)
set(texts "")
set(synopsis "")
set(description "")
set(commands "")

# Text that groff shows as it is, line for line.
function(roff_lines text out)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

while(rest MATCHES "^@@ ")
  string(FIND "${rest}" "\n" end)
  math(EXPR length "${end} - 3")
  string(SUBSTRING "${rest}" 3 ${length} name)
  math(EXPR end "${end} + 1")
  string(SUBSTRING "${rest}" ${end} -1 rest)
  string(FIND "${rest}" "\n@@ " next)
  if(next EQUAL -1)
    set(body "${rest}")
    set(rest "")
  else()
    math(EXPR next "${next} + 1")
    string(SUBSTRING "${rest}" 0 ${next} body)
    string(SUBSTRING "${rest}" ${next} -1 rest)
  endif()
  if(name STREQUAL "marlune")
    set(command "")
  else()
    set(command "${name}")
  endif()
  string(APPEND texts "    {\"${command}\", R\"help(${body})help\"},\n")

  # The man page: each usage line in the synopsis, the rest under its command.
  string(FIND "${body}" "\n" end)
  math(EXPR end "${end} + 1")
  math(EXPR length "${end} - 7")
  string(SUBSTRING "${body}" 7 ${length} usage)
  string(SUBSTRING "${body}" ${end} -1 details)
  roff_lines("${usage}" usage)
  roff_lines("${details}" details)
  string(APPEND synopsis "${usage}")
  if(command STREQUAL "")
    set(description "${details}")
  else()
    string(APPEND commands ".SS ${command}\n${details}")
  endif()
endwhile()

file(WRITE ${HEADER}.new "// Made from cli/help.txt by cmake/MarluneHelp.cmake.
#pragma once

namespace marlune::cli {

struct HelpText {
    const char* command;  // empty: the general help
    const char* text;
};

inline constexpr HelpText helpTexts[] = {
${texts}};

}  // namespace marlune::cli
")
file(COPY_FILE ${HEADER}.new ${HEADER} ONLY_IF_DIFFERENT)
file(REMOVE ${HEADER}.new)

if(MAN)
  file(WRITE ${MAN} ".TH MARLUNE 1 \"\" \"marlune ${VERSION}\" \"User Commands\"
.SH NAME
marlune \\- copy, convert, salvage and inspect KVRB audio containers
.SH SYNOPSIS
${synopsis}.SH DESCRIPTION
${description}.SH COMMANDS
${commands}.SH SEE ALSO
The README, cli.md (the JSON records and the summary), c-api.md (the C
interface, also in marlune.h) and python.md (the Python package) in
/usr/share/doc/marlune.
")
endif()
