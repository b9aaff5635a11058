# The Windows DLL, the sample host, and their install layout and package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# bin/ holds the DLL and the programs together, unless a project around this one says otherwise.
if(NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
  set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
endif()

enable_language(RC)

configure_file(src/winperf_version.rc.in ${PROJECT_BINARY_DIR}/winperf_version.rc @ONLY)

add_library(winperf SHARED src/winperf_common.cpp src/winperf_win32.cpp src/winperf_delayload.cpp
                           ${PROJECT_BINARY_DIR}/winperf_version.rc)
add_library(winperf::winperf ALIAS winperf)
set_target_properties(winperf PROPERTIES OUTPUT_NAME ${WINPERF_MODULE_NAME} PREFIX ""
                                         IMPORT_PREFIX "" EXPORT_NAME winperf)
# _snwprintf and friends are the bounded calls the layer means to use.
target_compile_definitions(winperf PRIVATE WINPERF_BUILDING_DLL
                           $<$<CXX_COMPILER_ID:MSVC>:_CRT_SECURE_NO_WARNINGS>)
target_include_directories(winperf PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                          $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
                                   PRIVATE src)
target_link_libraries(winperf PRIVATE yyjson::yyjson advapi32 winperf_warnings)

# System DLLs that are not KnownDLLs are delay-loaded, from the system directory only (see
# src/winperf_delayload.cpp): the DLL's pdh.dll and iphlpapi.dll, the exporter's bcrypt.dll and
# crypt32.dll. An ordinary import of them would be looked for beside the program first.
if(MINGW)
  find_program(WINPERF_DLLTOOL ${WINPERF_MINGW_PREFIX}-dlltool REQUIRED)
  # Sets <dll>_DELAY_LIB to the delay-load import library made from DEF_DIR/<dll>.def.
  function(winperf_delay_load_library dll def_dir)
    set(delaylib ${PROJECT_BINARY_DIR}/lib${dll}_delay.a)
    add_custom_command(OUTPUT ${delaylib}
                       COMMAND ${WINPERF_DLLTOOL} --input-def ${def_dir}/${dll}.def
                               --dllname ${dll}.dll --output-delaylib ${delaylib}
                       DEPENDS ${def_dir}/${dll}.def
                       COMMENT "Delay-load import library for ${dll}.dll")
    add_custom_target(winperf_${dll}_delay DEPENDS ${delaylib})
    set(${dll}_DELAY_LIB ${delaylib} PARENT_SCOPE)
  endfunction()
  foreach(dll pdh iphlpapi)
    winperf_delay_load_library(${dll} ${PROJECT_SOURCE_DIR}/src/delayload)
    add_dependencies(winperf winperf_${dll}_delay)
    target_link_libraries(winperf PRIVATE ${${dll}_DELAY_LIB})
  endforeach()
else()
  target_link_libraries(winperf PRIVATE pdh iphlpapi delayimp)
  target_link_options(winperf PRIVATE /DELAYLOAD:pdh.dll /DELAYLOAD:iphlpapi.dll)
endif()

# Windows programs that need nothing beside themselves: the runtime libraries go inside (with
# MSVC, the static triplet's runtime does it).
if(MINGW)
  set(WINPERF_MINGW_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
  target_link_options(winperf PRIVATE ${WINPERF_MINGW_STATIC_RUNTIME}
                      -Wl,--exclude-all-symbols -Wl,--dynamicbase -Wl,--nxcompat
                      -Wl,--high-entropy-va $<$<CONFIG:Release,MinSizeRel>:-s>)
endif()

# Hosts load the DLL at run time; they are built after it so that bin/ holds both.
function(winperf_host name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE winperf_host_common winperf_warnings)
  target_compile_definitions(${name} PRIVATE WINPERF_VERSION="${PROJECT_VERSION}")
  if(MINGW)
    target_link_options(${name} PRIVATE ${WINPERF_MINGW_STATIC_RUNTIME} -Wl,--gc-sections -Wl,--tsaware
                        -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va
                        $<$<CONFIG:Release,MinSizeRel>:-s>)
  endif()
  add_dependencies(${name} winperf)
endfunction()

winperf_host(winperf-sample tools/winperf-sample/main.cpp tools/winperf-sample/report.cpp)
target_include_directories(winperf-sample PRIVATE tools/winperf-sample)

# The exporter: cpp-httplib over mbedTLS compiled in (source trees here, vcpkg's packages with
# MSVC), gzip from a static zlib.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)
winperf_host(winperf-exporter tools/winperf-exporter/main.cpp tools/winperf-exporter/server.cpp
                              tools/winperf-exporter/log.cpp
                              tools/winperf-exporter/read_file_win32.cpp
                              tools/winperf-exporter/textfile_win32.cpp)
# wmain: the command line as UTF-16, so that any path reaches the Windows calls whole.
if(MINGW)
  target_link_options(winperf-exporter PRIVATE -municode)
endif()
# cpp-httplib's code is most of the exe, and speed is not what it lacks.
if(MINGW)
  set_source_files_properties(tools/winperf-exporter/server.cpp PROPERTIES COMPILE_OPTIONS -Os)
endif()
# gzip for every file that includes cpp-httplib, or its inline functions would differ between them.
target_compile_definitions(winperf_httplib INTERFACE CPPHTTPLIB_ZLIB_SUPPORT)
target_link_libraries(winperf_httplib INTERFACE ZLIB::ZLIB)
# A message table, so that the Event Viewer shows the exporter's events as their text.
find_program(WINPERF_MC NAMES ${WINPERF_MINGW_PREFIX}-windmc windmc mc REQUIRED)
set(WINPERF_EVENTS_DIR ${PROJECT_BINARY_DIR}/events)
add_custom_command(OUTPUT ${WINPERF_EVENTS_DIR}/events.rc ${WINPERF_EVENTS_DIR}/events.h
                          ${WINPERF_EVENTS_DIR}/MSG00409.bin
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${WINPERF_EVENTS_DIR}
                   COMMAND ${WINPERF_MC} -h ${WINPERF_EVENTS_DIR} -r ${WINPERF_EVENTS_DIR}
                           ${PROJECT_SOURCE_DIR}/tools/winperf-exporter/events.mc
                   DEPENDS tools/winperf-exporter/events.mc VERBATIM)
target_sources(winperf-exporter PRIVATE ${WINPERF_EVENTS_DIR}/events.rc ${WINPERF_EVENTS_DIR}/events.h)
target_include_directories(winperf-exporter PRIVATE ${WINPERF_EVENTS_DIR})
target_link_libraries(winperf-exporter PRIVATE winperf_exporter_web)
target_sources(winperf-exporter PRIVATE src/winperf_delayload.cpp)
if(MINGW)
  winperf_delay_load_library(bcrypt ${PROJECT_SOURCE_DIR}/tools/winperf-exporter/delayload)
  winperf_delay_load_library(crypt32 ${PROJECT_SOURCE_DIR}/tools/winperf-exporter/delayload)
  add_dependencies(winperf-exporter winperf_bcrypt_delay winperf_crypt32_delay)
  # mbedTLS asks for bcrypt (its entropy source) by the ordinary import library.
  get_target_property(_mbedcrypto_libs mbedcrypto INTERFACE_LINK_LIBRARIES)
  list(TRANSFORM _mbedcrypto_libs REPLACE "^bcrypt$" "${bcrypt_DELAY_LIB}")
  set_target_properties(mbedcrypto PROPERTIES INTERFACE_LINK_LIBRARIES "${_mbedcrypto_libs}")
  target_link_libraries(winperf_httplib INTERFACE ${crypt32_DELAY_LIB})
else()
  target_link_libraries(winperf-exporter PRIVATE delayimp)
  target_link_options(winperf-exporter PRIVATE /DELAYLOAD:bcrypt.dll /DELAYLOAD:crypt32.dll)
  target_link_libraries(winperf_httplib INTERFACE crypt32)
endif()

install(TARGETS winperf EXPORT winperfTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS winperf-sample winperf-exporter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES include/winperf.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The licence and the notices of everything compiled into the shipped files, beside them.
install(FILES LICENSE packaging/THIRD-PARTY-NOTICES.txt DESTINATION ${CMAKE_INSTALL_BINDIR})
set(WINPERF_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/winperf)
install(EXPORT winperfTargets NAMESPACE winperf:: DESTINATION ${WINPERF_CMAKE_DIR})
configure_package_config_file(cmake/winperfConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/winperfConfig.cmake
                              INSTALL_DESTINATION ${WINPERF_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/winperfConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/winperfConfig.cmake ${PROJECT_BINARY_DIR}/winperfConfigVersion.cmake
        DESTINATION ${WINPERF_CMAKE_DIR})

if(NOT PROJECT_IS_TOP_LEVEL)
  return()  # packaging is this project's own business
endif()

# The MSI's custom action that resolves its settings (packaging/settings-action), in the MSI
# only: a component that no ordinary install or ZIP includes.
add_library(winperf_msi_settings SHARED packaging/settings-action/settings_action.cpp
                                        packaging/settings-action/service_args.cpp)
set_target_properties(winperf_msi_settings PROPERTIES OUTPUT_NAME settings PREFIX ""
                      RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/msi)
install(TARGETS winperf_msi_settings RUNTIME DESTINATION msi COMPONENT msi_custom_action
        EXCLUDE_FROM_ALL)
# Spelled out: "msi" is also the name of the package's target.
target_link_libraries(winperf_msi_settings PRIVATE $<IF:$<BOOL:${MINGW}>,-lmsi,msi.lib> winperf_warnings)
if(MINGW)
  target_link_options(winperf_msi_settings PRIVATE ${WINPERF_MINGW_STATIC_RUNTIME} -Wl,--gc-sections
                      $<$<CONFIG:Release,MinSizeRel>:-s>)
endif()

# The exporter's MSI, built from the install tree with msitools, beside the ZIP. On Windows the
# workflow runs the same script, with msitools inside WSL.
if(CMAKE_HOST_UNIX)
  find_program(WINPERF_WIXL wixl REQUIRED)
  find_program(WINPERF_MSIBUILD msibuild REQUIRED)
  set(WINPERF_MSI_TREE ${PROJECT_BINARY_DIR}/msi-tree)
  set(WINPERF_MSI ${PROJECT_BINARY_DIR}/package/winperf-exporter-${PROJECT_VERSION}-x64.msi)
  add_custom_command(OUTPUT ${WINPERF_MSI}
                     COMMAND ${CMAKE_COMMAND} -E env WIXL=${WINPERF_WIXL} MSIBUILD=${WINPERF_MSIBUILD}
                             bash ${PROJECT_SOURCE_DIR}/packaging/package-msi.sh ${PROJECT_BINARY_DIR}
                             ${PROJECT_VERSION} ${WINPERF_MSI} $<CONFIG>
                     DEPENDS winperf winperf-sample winperf-exporter winperf_msi_settings
                             packaging/winperf-exporter.wxs packaging/package-msi.sh
                             packaging/build-msi.sh packaging/THIRD-PARTY-NOTICES.txt LICENSE
                             include/winperf.h
                     COMMENT "MSI package ${WINPERF_MSI}" VERBATIM)
  add_custom_target(msi ALL DEPENDS ${WINPERF_MSI})
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${WINPERF_MODULE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
