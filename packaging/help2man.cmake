# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later

# cmake -DHELP2MAN=... -DPROGRAM=... -DNAME=... -DOUTPUT=page.1.gz [-DCOMMANDS=a,b] -P help2man.cmake
# Writes PROGRAM's manual page from its --help and --version, with each of
# COMMANDS' own --help as a subsection of COMMANDS, gzipped as Debian keeps
# them.
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
set(include_option)
if(COMMANDS)
  set(include "${page}.h2m")
  set(include_option "--include=${include}")
  string(REPLACE "," ";" commands "${COMMANDS}")
  file(WRITE "${include}" "[COMMANDS]\n")
  foreach(command IN LISTS commands)
    execute_process(COMMAND "${PROGRAM}" ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${command} --help exited with ${rc}")
    endif()
    # Roff reads a backslash as an escape, - as a hyphen and a line starting
    # with . or ' as a request.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REPLACE "-" "\\-" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    file(APPEND "${include}" ".SS ${command}\n.nf\n${help}.fi\n")
  endforeach()
endif()
# In its default C locale help2man writes the Chinese texts as question marks.
execute_process(COMMAND "${HELP2MAN}" --no-info --locale=C.UTF-8 "--name=${NAME}" ${include_option} "--output=${page}"
                        "${PROGRAM}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${PROGRAM}")
endif()
execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${page}")
endif()
