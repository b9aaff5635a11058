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
get_target_property(_yyjson_include_dirs yyjson::yyjson INTERFACE_INCLUDE_DIRECTORIES)
find_file(WINPERF_YYJSON_HEADER yyjson.h PATHS ${_yyjson_include_dirs} REQUIRED NO_CACHE)
file(STRINGS "${WINPERF_YYJSON_HEADER}" _yyjson_version_line
     REGEX "^#define YYJSON_VERSION_STRING \"[^\"]+\"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" _yyjson_version "${_yyjson_version_line}")
# Native builds test against exactly 0.12.0; vcpkg may serve a later release with the same API.
if(WIN32 AND _yyjson_version VERSION_GREATER_EQUAL 0.12.0)
  return()
endif()
if(NOT _yyjson_version VERSION_EQUAL 0.12.0)
  message(FATAL_ERROR "yyjson 0.12.0 is required, found '${_yyjson_version}' in "
                      "${WINPERF_YYJSON_HEADER}; run scripts/install-deps.sh")
endif()
