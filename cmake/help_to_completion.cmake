# A bash completion for a tool from its own --help, so that it cannot fall
# behind the options the tool has:
#
#   cmake -DTOOL=<executable> -DNAME=<name> -DOUT=<dir> -P help_to_completion.cmake
#
# writes OUT/NAME.bash (completes the options --help lists, and file names).
# The man pages of these tools are written by hand (docs/man/).
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TOOL} --help failed (${status})")
endif()

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
