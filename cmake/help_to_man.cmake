# A man page and a bash completion for a tool from its own --help, so that
# neither can fall behind the options it has:
#
#   cmake -DTOOL=<executable> -DNAME=<name> -DVERSION=<x.y.z> -DOUT=<dir> -P help_to_man.cmake
#
# writes OUT/NAME.1 (the help text under NAME and SYNOPSIS) and OUT/NAME.bash
# (completes the options --help lists, and file names).
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} --help failed (${status})")
endif()
string(REGEX MATCH "^[^\n]*" summary "${help}")
string(REGEX REPLACE "^[^:]*: *" "" summary "${summary}")
string(REGEX REPLACE "Usage: [^ \n]*/" "Usage: " help "${help}")

# roff: a backslash as \e, '-' as \-, a leading '.' or '\'' escaped. (The
# text is handled whole: CMake lists would split it at ';'.)
string(REPLACE "\\" "\\e" body "${help}")
string(REPLACE "-" "\\-" body "${body}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" body "${body}")
if(NOT body MATCHES "\n$")
  string(APPEND body "\n")
endif()
file(WRITE ${OUT}/${NAME}.1
     ".TH ${NAME} 1 \"\" \"zortw ${VERSION}\" \"User Commands\"\n"
     ".SH NAME\n${NAME} \\- ${summary}\n"
     ".SH SYNOPSIS\n.B ${NAME}\n[\\fIOPTIONS\\fR]\n"
     ".SH DESCRIPTION\n.nf\n${body}.fi\n"
     ".SH SEE ALSO\n.BR tiway (1),\n.BR tiway-sim (1),\n.BR tiway-gateway (1)\n")

string(REGEX MATCHALL "--[a-z][a-z0-9-]*" options "${help}")
list(REMOVE_DUPLICATES options)
list(JOIN options " " words)
string(REPLACE "-" "_" function "_${NAME}")
file(WRITE ${OUT}/${NAME}.bash
     "# bash completion for ${NAME}: the options its --help lists, and file names\n"
     "${function}() {\n"
     "  local cur=\"\${COMP_WORDS[COMP_CWORD]}\"\n"
     "  if [[ \"\$cur\" == -* ]]; then\n"
     "    mapfile -t COMPREPLY < <(compgen -W \"${words}\" -- \"\$cur\")\n"
     "  else\n"
     "    mapfile -t COMPREPLY < <(compgen -f -- \"\$cur\")\n"
     "  fi\n"
     "}\n"
     "complete -F ${function} ${NAME}\n")
