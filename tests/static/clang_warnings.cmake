# SPDX-License-Identifier: MIT
# Compiles every file of the build's compile_commands.json once more with
# clang, for its diagnostics only, and fails on any warning.
#
#   cmake -DCOMPILER=clang++ -DCOMMANDS=compile_commands.json -P clang_warnings.cmake

file(READ ${COMMANDS} commands)
string(JSON count LENGTH "${commands}")
math(EXPR last "${count} - 1")
set(failed 0)
foreach(i RANGE ${last})
  string(JSON command GET "${commands}" ${i} command)
  string(JSON directory GET "${commands}" ${i} directory)
  separate_arguments(arguments UNIX_COMMAND "${command}")
  list(POP_FRONT arguments)  # the compiler the build uses
  list(FIND arguments -o output)
  if(output GREATER_EQUAL 0)
    list(REMOVE_AT arguments ${output})  # the flag
    list(REMOVE_AT arguments ${output})  # and its object file
  endif()
  # -fsyntax-only stops before compiling, which -c asks for: clang 21 warns
  # that -c goes unused.
  list(REMOVE_ITEM arguments -c)
  execute_process(COMMAND ${COMPILER} ${arguments} -fsyntax-only -Werror
                  WORKING_DIRECTORY ${directory} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    set(failed 1)
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "clang warns of the code above")
endif()
message(STATUS "clang compiled ${count} files without a warning")
