# Run by CPack on the installed tree, before it splits the symbols off.
cmake_policy(SET CMP0009 NEW)
# The linker keeps the compilers' version notes (.comment, from the C
# runtime's start files too); Debian's own packages go without them.
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(path IN LISTS files)
  if(IS_SYMLINK ${path})
    continue()
  endif()
  file(READ ${path} magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND objcopy --remove-section=.comment ${path} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
