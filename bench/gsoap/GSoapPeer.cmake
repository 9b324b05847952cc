# The peer: at build time wsdl2h and soapcpp2 (Debian's gsoap, libgsoap-dev) make a client from the
# WSDL the schema generator wrote, whatever operations and bindings it holds; GSoapPeer.cpp uses
# only its logon and query calls. The generated code is the toolkit's own, compiled as it comes.
find_program(DVL_WSDL2H wsdl2h)
find_program(DVL_SOAPCPP2 soapcpp2)
pkg_check_modules(GSOAPXX IMPORTED_TARGET gsoap++)
if(NOT DVL_WSDL2H OR NOT DVL_SOAPCPP2 OR NOT GSOAPXX_FOUND)
  message(FATAL_ERROR "the benchmarks' gSOAP peer needs wsdl2h, soapcpp2 and gsoap++ (Debian: gsoap libgsoap-dev)")
endif()

set(peer_dir ${CMAKE_CURRENT_BINARY_DIR}/gsoap)
set(peer_generated ${peer_dir}/GSoapPeerC.cpp ${peer_dir}/GSoapPeerClient.cpp ${peer_dir}/GSoapPeerH.h
                   ${peer_dir}/GSoapPeerStub.h)
find_path(DVL_GSOAP_IMPORT xop.h PATHS /usr/share/gsoap/import /usr/local/share/gsoap/import)
add_custom_command(
  OUTPUT ${peer_generated}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${peer_dir}
  COMMAND ${DVL_WSDL2H} -x -t ${CMAKE_CURRENT_SOURCE_DIR}/gsoap/typemap.dat -o ${peer_dir}/content-store.h
          ${DVL_GENERATED_DIR}/content-store.wsdl
  COMMAND ${DVL_SOAPCPP2} -C -L -w -x -pGSoapPeer -d ${peer_dir} -I${DVL_GSOAP_IMPORT} ${peer_dir}/content-store.h
  DEPENDS ${DVL_GENERATED_DIR}/content-store.wsdl ${CMAKE_CURRENT_SOURCE_DIR}/gsoap/typemap.dat
  COMMENT "Generating the gSOAP peer from content-store.wsdl"
  VERBATIM)
set_source_files_properties(${peer_generated} PROPERTIES GENERATED TRUE)

add_library(dvl_bench_gsoap STATIC gsoap/GSoapPeer.cpp ${peer_dir}/GSoapPeerC.cpp ${peer_dir}/GSoapPeerClient.cpp)
add_dependencies(dvl_bench_gsoap schema_generated)
target_include_directories(dvl_bench_gsoap PRIVATE ${peer_dir} ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(dvl_bench_gsoap PRIVATE PkgConfig::GSOAPXX)
# Generated code, compiled as gSOAP's users would: its warnings are not ours to fix.
set_source_files_properties(${peer_dir}/GSoapPeerC.cpp ${peer_dir}/GSoapPeerClient.cpp PROPERTIES COMPILE_OPTIONS -w)
# libgsoap++ looks up the namespace table ("namespaces") of the program that links it.
set_target_properties(dvl_bench_gsoap PROPERTIES CXX_VISIBILITY_PRESET default VISIBILITY_INLINES_HIDDEN OFF)
