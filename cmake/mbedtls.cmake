# mbedTLS, for the exporter's HTTPS: compiled in statically from a source tree with its own CMake
# (WINPERF_MBEDTLS_SOURCE_DIR, Debian's source package), trimmed by winperf_mbedtls_config.h; or
# vcpkg's package.
set(WINPERF_MBEDTLS_SOURCE_DIR "" CACHE PATH "mbedTLS source tree to compile into the exporter")

if(WINPERF_MBEDTLS_SOURCE_DIR)
  if(NOT EXISTS "${WINPERF_MBEDTLS_SOURCE_DIR}/include/mbedtls/ssl.h")
    message(FATAL_ERROR "no include/mbedtls/ssl.h in ${WINPERF_MBEDTLS_SOURCE_DIR}; "
                        "run scripts/install-deps.sh")
  endif()
  foreach(_off ENABLE_TESTING ENABLE_PROGRAMS MBEDTLS_FATAL_WARNINGS GEN_FILES
               USE_SHARED_MBEDTLS_LIBRARY INSTALL_MBEDTLS_HEADERS)
    set(${_off} OFF CACHE BOOL "set by the winperf build" FORCE)
  endforeach()
  set(USE_STATIC_MBEDTLS_LIBRARY ON CACHE BOOL "set by the winperf build" FORCE)
  set(LINK_WITH_PTHREAD ON CACHE BOOL "set by the winperf build" FORCE)
  set(DISABLE_PACKAGE_CONFIG_AND_INSTALL ON CACHE BOOL "set by the winperf build" FORCE)
  set(MBEDTLS_USER_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/mbedtls/winperf_mbedtls_config.h"
      CACHE FILEPATH "set by the winperf build" FORCE)
  add_subdirectory("${WINPERF_MBEDTLS_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/mbedtls" EXCLUDE_FROM_ALL
                   SYSTEM)
  foreach(_target mbedtls mbedx509 mbedcrypto)
    set_target_properties(${_target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    # A handshake a minute costs nothing at any optimisation; the exe's size is what counts.
    if(MINGW)
      target_compile_options(${_target} PRIVATE -Os)
    endif()
  endforeach()
  add_library(winperf_mbedtls INTERFACE)
  target_link_libraries(winperf_mbedtls INTERFACE mbedtls mbedx509 mbedcrypto)
else()
  find_package(MbedTLS CONFIG REQUIRED)
  add_library(winperf_mbedtls INTERFACE)
  target_link_libraries(winperf_mbedtls INTERFACE MbedTLS::mbedtls MbedTLS::mbedx509
                                                  MbedTLS::mbedcrypto)
endif()
