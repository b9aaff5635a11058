# Packs the CPack ZIP and checks its layout.
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP -B ${BINARY_DIR}/package
                WORKING_DIRECTORY ${BINARY_DIR} RESULT_VARIABLE result OUTPUT_QUIET)
if(result)
  message(FATAL_ERROR "cpack failed: ${result}")
endif()
file(GLOB zip ${BINARY_DIR}/package/*.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing)
foreach(entry bin/quarvel-prometheus-winperf.dll lib/quarvel-prometheus-winperf.dll.a
              include/winperf.h lib/cmake/winperf/winperfConfig.cmake
              lib/cmake/winperf/winperfConfigVersion.cmake lib/cmake/winperf/winperfTargets.cmake
              bin/winperf-sample.exe bin/winperf-exporter.exe bin/LICENSE
              bin/THIRD-PARTY-NOTICES.txt)
  string(FIND "${listing}" "${entry}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${zip} lacks ${entry}:\n${listing}")
  endif()
endforeach()
message(STATUS "${zip}:\n${listing}")
