# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) after the files are installed and stripped, before they are
# packed: the compiler's version string in each executable's .comment section
# is of no use to anyone running it (Debian's own packages drop it too).
file(GLOB_RECURSE executables "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(executable ${executables})
  execute_process(COMMAND "${CPACK_KESTRAVO_OBJCOPY}" --remove-section=.comment "${executable}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "objcopy could not remove .comment from ${executable}")
  endif()
endforeach()
