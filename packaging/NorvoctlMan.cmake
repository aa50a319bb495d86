# Makes norvoctl.1.gz from `norvoctl --help` and `norvoctl --version` with
# help2man. A norvoctl without a working --version gets the project version
# through --version-string; without help2man, or when it fails, the stand-in
# page takes its place, so the build never breaks over the manual.
# The serve command's own help (every option of `norvoctl serve --help`) is
# added as a section of its own, beside the include file's sections.
# cmake -DNORVOCTL=... -DHELP2MAN=... -DGZIP=... -DVERSION=... -DINCLUDE=...
#       -DSERVE_CONF=... -DFALLBACK=... -DOUTPUT=.../norvoctl.1.gz -P NorvoctlMan.cmake
get_filename_component(dir "${OUTPUT}" DIRECTORY)
set(page "${dir}/norvoctl.1")
set(made FALSE)
execute_process(COMMAND "${NORVOCTL}" --help RESULT_VARIABLE rc OUTPUT_VARIABLE help ERROR_QUIET)
if(NOT rc EQUAL 0 OR NOT help MATCHES "norvoctl")
  message(WARNING "norvoctl --help did not answer; installing the stand-in norvoctl.1")
elseif(HELP2MAN)
  file(READ "${INCLUDE}" include_text)
  execute_process(COMMAND "${NORVOCTL}" serve --help RESULT_VARIABLE rc OUTPUT_VARIABLE serve_help ERROR_QUIET)
  if(rc EQUAL 0)
    # As help2man lays out an option list: each option a tagged paragraph, its
    # description filled to the page's width (CLI11 does not wrap it), the
    # text around the list as paragraphs.
    # roff: backslashes escaped, a line starting with "." or "'" made plain text.
    string(REPLACE "\\" "\\e" serve_help "${serve_help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" serve_help "${serve_help}")
    string(REPLACE ";" "\\;" serve_help "${serve_help}")
    string(REPLACE "\n" ";" lines "${serve_help}")
    set(section "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^  (-[^ ].*[^ ])  +([^ ].*)$")
        # "  --option ARGS   description"
        string(REPLACE "-" "\\-" term "${CMAKE_MATCH_1}")
        string(APPEND section ".TP\n\\fB${term}\\fR\n${CMAKE_MATCH_2}\n")
      elseif(line MATCHES "^  (-.*[^ ]) *$")
        # "  --option ARGS" with the description on the next line
        string(REPLACE "-" "\\-" term "${CMAKE_MATCH_1}")
        string(APPEND section ".TP\n\\fB${term}\\fR\n")
      elseif(line MATCHES "^      +([^ ].*)$")
        string(APPEND section "${CMAKE_MATCH_1}\n")
      elseif(line MATCHES "^Usage: ")
        string(APPEND section ".PP\n${line}\n")
      elseif(line STREQUAL "")
        string(APPEND section ".PP\n")
      else()
        string(APPEND section "${line}\n")
      endif()
    endforeach()
    string(REPLACE "\\;" ";" section "${section}")
    string(APPEND include_text "\n[SERVE COMMAND]\n${section}")
  endif()
  if(SERVE_CONF)
    file(READ "${SERVE_CONF}" conf)
    string(REPLACE "\\" "\\e" conf "${conf}")
    string(APPEND include_text "\n[CONFIGURATION FILE]\n"
           "The logger service runs \\fBnorvoctl serve \\-\\-config /etc/norvo/serve.conf\\fR. "
           "The file as the package installs it:\n.PP\n.in 1n\n.nf\n${conf}.fi\n.in\n")
  endif()
  set(INCLUDE "${dir}/norvoctl-full.h2m")
  file(WRITE "${INCLUDE}" "${include_text}")
  execute_process(COMMAND "${NORVOCTL}" --version RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET)
  set(version_args)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "[0-9]")
    set(version_args "--version-string=norvoctl ${VERSION}")
  endif()
  execute_process(
    COMMAND "${HELP2MAN}" --no-info --section=1 "--manual=User Commands"
            "--include=${INCLUDE}" ${version_args} --output=${page} "${NORVOCTL}"
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(rc EQUAL 0)
    set(made TRUE)
  else()
    message(WARNING "help2man failed (${err}); installing the stand-in norvoctl.1")
  endif()
else()
  message(WARNING "help2man not found; installing the stand-in norvoctl.1")
endif()
if(NOT made)
  set(PROJECT_VERSION "${VERSION}")
  configure_file("${FALLBACK}" "${page}" @ONLY)
endif()
execute_process(COMMAND "${GZIP}" -9nf "${page}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${page}")
endif()
