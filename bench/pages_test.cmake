# SPDX-License-Identifier: MIT
# Makes the committed benchmark pages again from their committed data, in WORK,
# and fails where a page or the data of its plots differs from the committed one.
# cmake -DBENCH=bench -DDOCS=docs -DWORK=DIR -P pages_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(COPY ${DOCS}/benchmarks-data.tsv ${DOCS}/benchmarks-long-data.tsv DESTINATION ${WORK})
execute_process(COMMAND ${BENCH} --report ${WORK} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "bench --report ${WORK} ended with ${status}")
endif()
foreach(made benchmarks.md benchmarks-tails.tsv benchmarks-long.md benchmarks-long-memory.tsv)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${DOCS}/${made} ${WORK}/${made}
    RESULT_VARIABLE differs)
  if(differs)
    execute_process(COMMAND diff -u ${DOCS}/${made} ${WORK}/${made})
    message(SEND_ERROR "docs/${made} is not what its data makes")
  endif()
endforeach()
