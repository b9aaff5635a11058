# bcrypt for the exporter's passwords: crypt_blowfish from libxcrypt's source tree
# (WINPERF_LIBXCRYPT_SOURCE_DIR, Debian's source package), compiled alone with the small
# configuration in cmake/bcrypt in place of libxcrypt's generated headers.
set(WINPERF_LIBXCRYPT_SOURCE_DIR "" CACHE PATH "libxcrypt source tree (lib/crypt-bcrypt.c)")

if(NOT EXISTS "${WINPERF_LIBXCRYPT_SOURCE_DIR}/lib/crypt-bcrypt.c")
  message(FATAL_ERROR "no lib/crypt-bcrypt.c in '${WINPERF_LIBXCRYPT_SOURCE_DIR}'; "
                      "run scripts/install-deps.sh and set WINPERF_LIBXCRYPT_SOURCE_DIR")
endif()
add_library(winperf_crypt_blowfish STATIC "${WINPERF_LIBXCRYPT_SOURCE_DIR}/lib/crypt-bcrypt.c")
target_include_directories(winperf_crypt_blowfish PRIVATE "${CMAKE_CURRENT_LIST_DIR}/bcrypt")
target_compile_definitions(winperf_crypt_blowfish PRIVATE HAVE_CONFIG_H)
set_target_properties(winperf_crypt_blowfish PROPERTIES C_STANDARD 11 POSITION_INDEPENDENT_CODE ON)
