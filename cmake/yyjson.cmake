# yyjson: the system package (0.12.0) for native builds; for Windows either a source tree
# compiled in statically (WINPERF_YYJSON_SOURCE_DIR, the cross-build) or vcpkg's package.
set(WINPERF_YYJSON_SOURCE_DIR "" CACHE PATH "yyjson source tree to compile into the DLL")

if(WINPERF_YYJSON_SOURCE_DIR)
  if(NOT EXISTS "${WINPERF_YYJSON_SOURCE_DIR}/src/yyjson.c")
    message(FATAL_ERROR "no src/yyjson.c in ${WINPERF_YYJSON_SOURCE_DIR}; "
                        "run scripts/install-deps.sh")
  endif()
  add_library(winperf_yyjson STATIC "${WINPERF_YYJSON_SOURCE_DIR}/src/yyjson.c")
  target_include_directories(winperf_yyjson SYSTEM PUBLIC "${WINPERF_YYJSON_SOURCE_DIR}/src")
  add_library(yyjson::yyjson ALIAS winperf_yyjson)
  return()
endif()

find_package(yyjson CONFIG REQUIRED)
if(WIN32)
  return()  # vcpkg pins the version in vcpkg.json
endif()

set(WINPERF_YYJSON_VERSION 0.12.0)
find_file(WINPERF_YYJSON_HEADER yyjson.h REQUIRED NO_CACHE)
file(STRINGS "${WINPERF_YYJSON_HEADER}" _yyjson_version_line
     REGEX "^#define YYJSON_VERSION_STRING \"[^\"]+\"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" _yyjson_version "${_yyjson_version_line}")
if(NOT _yyjson_version VERSION_EQUAL WINPERF_YYJSON_VERSION)
  message(FATAL_ERROR "yyjson ${WINPERF_YYJSON_VERSION} is required, found '${_yyjson_version}' "
                      "in ${WINPERF_YYJSON_HEADER}; run scripts/install-deps.sh")
endif()
