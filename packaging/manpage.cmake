# Makes vantrel.1.gz from the built tool's own help, so that the two cannot drift: help2man reads
# `vantrel --help`, and the help of each command is added as a section of its own.
# cmake -DTOOL=path/to/vantrel -DVERSION=... -DOUT=... [-DIF_STALE=ON] -P manpage.cmake
# With IF_STALE, a page newer than the tool is kept as it is.
if(IF_STALE AND EXISTS ${OUT} AND NOT ${TOOL} IS_NEWER_THAN ${OUT})
  return()
endif()
get_filename_component(TOOL_DIR ${TOOL} DIRECTORY)
set(ENV{PATH} "${TOOL_DIR}:$ENV{PATH}")  # run as `vantrel`, so that the usage lines say so
set(ENV{OFX_PLUGIN_PATH} "")
get_filename_component(dir ${OUT} DIRECTORY)
set(include ${dir}/vantrel-commands.h2m)
file(WRITE ${include} "")
foreach(command match info)
  execute_process(COMMAND vantrel ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "vantrel ${command} --help failed")
  endif()
  # Shown as printed: roff's escape character and leading control characters are made text.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(TOUPPER ${command} title)
  file(APPEND ${include} "[VANTREL ${title}]\n.nf\n${help}\n.fi\n\n")
endforeach()
file(APPEND ${include} "[SEE ALSO]\nThe README and docs/ in /usr/share/doc/vantrel.\n")
execute_process(COMMAND help2man --no-info --no-discard-stderr --version-string=${VERSION}
                        "--name=match the colours of images with the Brenvale.ofx OpenFX plug-in"
                        --section=1 --include=${include} --output=${dir}/vantrel.1 vantrel
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed")
endif()
execute_process(COMMAND gzip -9nf ${dir}/vantrel.1 RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed")
endif()
