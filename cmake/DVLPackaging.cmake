# Debian packages (scripts/package.sh): libdvl1 (shared libraries), libdvl-dev (headers, CMake
# package, pkg-config file), dvl (the command line) and dvl-contentd (the server and its systemd unit).
# Dependencies on other Debian packages are computed from the binaries by dpkg-shlibdeps; only the
# packages' dependencies on each other are written here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dvl)
set(CPACK_PACKAGE_VENDOR "DVL developers")
set(CPACK_PACKAGE_CONTACT "DVL developers <dvl-developers@lists.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL "https://localhost/dvl")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tool server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libdvl1 gets a shlibs file and the ldconfig trigger. Each package's description is its own: its
# first line is the summary, the rest its long text (CPack indents it).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")  # any later 1.x serves what was built on this one
# Our own libraries, for dpkg-shlibdeps to resolve while they are not installed yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(dvl_exact "= ${PROJECT_VERSION}-1")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libdvl${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "DVL content-store client library
DVL is a C++ client library for a content-store service reached over
SOAP: logon, queries, adds of report outputs with their documents,
deletes, routing and the cache service. This package holds the shared
libraries.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/libdvl1/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libdvl-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libdvl${PROJECT_VERSION_MAJOR} (${dvl_exact})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "DVL content-store client library (development files)
Headers under /usr/include/dvl, the CMake package (find_package(DVL),
target DVL::dvl), the pkg-config file dvl.pc and the service's WSDL
and XSD.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME dvl)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libdvl${PROJECT_VERSION_MAJOR} (${dvl_exact})")
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "dvl-contentd")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "command-line client for the DVL content store
dvl logs on to a content-store service and reaches every call of the
DVL library: queries, lookups, adds of outputs, versions, models and
tasks, deletes, routing and the cache service.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME dvl-contentd)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libdvl${PROJECT_VERSION_MAJOR} (${dvl_exact}), adduser")
set(CPACK_DEBIAN_SERVER_DESCRIPTION "reference DVL content-store server
dvl-contentd serves the content-store service over HTTP(S) with SOAP,
keeping its store in SQLite or PostgreSQL. The package runs it as a
systemd service under its own system user.")
set(dvl_server_control ${PROJECT_SOURCE_DIR}/packaging/debian/dvl-contentd)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${dvl_server_control}/postinst ${dvl_server_control}/prerm ${dvl_server_control}/postrm ${dvl_server_control}/conffiles)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Each package carries the copyright notice and the changelog Debian asks for.
set(dvl_changelog ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${dvl_changelog}
  COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian ${dvl_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian VERBATIM)
add_custom_target(dvl_changelog ALL DEPENDS ${dvl_changelog})
foreach(component runtime development tool server)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${dvl_changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

include(CPack)
