# yyjson 0.12.0, from the system packages that scripts/install-deps.sh installs.
set(WINPERF_YYJSON_VERSION 0.12.0)

find_package(yyjson CONFIG REQUIRED)
find_file(WINPERF_YYJSON_HEADER yyjson.h REQUIRED NO_CACHE)
file(STRINGS "${WINPERF_YYJSON_HEADER}" _yyjson_version_line
     REGEX "^#define YYJSON_VERSION_STRING \"[^\"]+\"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" _yyjson_version "${_yyjson_version_line}")
if(NOT _yyjson_version VERSION_EQUAL WINPERF_YYJSON_VERSION)
  message(FATAL_ERROR "yyjson ${WINPERF_YYJSON_VERSION} is required, found '${_yyjson_version}' "
                      "in ${WINPERF_YYJSON_HEADER}; run scripts/install-deps.sh")
endif()
