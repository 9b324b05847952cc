# How DVL is installed: versioned shared libraries, headers under include/dvl/, a CMake package
# (find_package(DVL), targets DVL::dvl, DVL::zeb, DVL::mwl, DVL::krn) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(DVL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/DVL)
set(DVL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/dvl)
set(DVL_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/dvl)

# dvl_library(TARGET NAME PUBLIC_HEADER_DIR...): a layer's shared library, installed as
# libNAME.so.MAJOR with the SONAME set, exported as DVL::<TARGET>. The directories given are its public
# include folders in the build tree; in an installed tree every public header sits in include/dvl/.
function(dvl_library target name)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${target})
  target_compile_features(${target} PUBLIC cxx_std_17)
  foreach(dir IN LISTS ARGN)
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${dir}>)
  endforeach()
  target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  add_library(DVL::${target} ALIAS ${target})
  install(TARGETS ${target} EXPORT DVLTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endfunction()

# dvl_public_headers(FILE...): headers a host includes as <dvl/NAME.h>.
function(dvl_public_headers)
  install(FILES ${ARGN} DESTINATION ${DVL_INSTALL_INCLUDEDIR} COMPONENT development)
endfunction()

function(dvl_install_package)
  install(EXPORT DVLTargets NAMESPACE DVL:: DESTINATION ${DVL_INSTALL_CMAKEDIR} COMPONENT development)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/DVLConfig.cmake.in
    ${PROJECT_BINARY_DIR}/DVLConfig.cmake INSTALL_DESTINATION ${DVL_INSTALL_CMAKEDIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/DVLConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/DVLConfig.cmake ${PROJECT_BINARY_DIR}/DVLConfigVersion.cmake
    DESTINATION ${DVL_INSTALL_CMAKEDIR} COMPONENT development)

  # pkg-config: a host links the request library and the layers whose classes its headers expose;
  # what those layers use underneath is only needed for static linking.
  file(RELATIVE_PATH DVL_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/dvl.pc.in ${PROJECT_BINARY_DIR}/dvl.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/dvl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

  install(FILES ${DVL_GENERATED_DIR}/content-store.wsdl ${DVL_GENERATED_DIR}/content-store.xsd
    DESTINATION ${DVL_INSTALL_DATADIR} COMPONENT development)
endfunction()

# dvl_install_man(PAGE SECTION COMPONENT [DEPENDS target]): installs a man page gzipped, as Debian
# ships them (man reads either).
function(dvl_install_man page section component)
  get_filename_component(name ${page} NAME)
  set(gz ${CMAKE_BINARY_DIR}/man-gz/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man-gz
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${page} ${gz}
    DEPENDS ${page} ${ARGN}
    VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
