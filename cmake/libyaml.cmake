# libyaml, for the exporter's configuration file: compiled in statically from a source tree
# (WINPERF_LIBYAML_SOURCE_DIR, Debian's source package), or vcpkg's package.
set(WINPERF_LIBYAML_SOURCE_DIR "" CACHE PATH "libyaml source tree to compile into the exporter")

if(WINPERF_LIBYAML_SOURCE_DIR)
  if(NOT EXISTS "${WINPERF_LIBYAML_SOURCE_DIR}/src/parser.c")
    message(FATAL_ERROR "no src/parser.c in ${WINPERF_LIBYAML_SOURCE_DIR}; "
                        "run scripts/install-deps.sh")
  endif()
  set(_libyaml_sources api.c dumper.c emitter.c loader.c parser.c reader.c scanner.c writer.c)
  list(TRANSFORM _libyaml_sources PREPEND "${WINPERF_LIBYAML_SOURCE_DIR}/src/")
  add_library(winperf_libyaml STATIC ${_libyaml_sources})
  target_include_directories(winperf_libyaml SYSTEM PUBLIC "${WINPERF_LIBYAML_SOURCE_DIR}/include"
                                             PRIVATE "${WINPERF_LIBYAML_SOURCE_DIR}/src")
  # What its own build writes into config.h.
  target_compile_definitions(winperf_libyaml PUBLIC YAML_DECLARE_STATIC
                             PRIVATE YAML_VERSION_MAJOR=0 YAML_VERSION_MINOR=2 YAML_VERSION_PATCH=5
                                     YAML_VERSION_STRING="0.2.5"
                                     $<$<C_COMPILER_ID:MSVC>:_CRT_SECURE_NO_WARNINGS>)
  set_target_properties(winperf_libyaml PROPERTIES POSITION_INDEPENDENT_CODE ON)
  add_library(libyaml::libyaml ALIAS winperf_libyaml)
  return()
endif()

find_package(yaml CONFIG REQUIRED)
add_library(libyaml::libyaml ALIAS yaml)
