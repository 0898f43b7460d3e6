# Installation: the shared libraries with version and soname, the public headers of
# the two products and of the outside libraries (each outside library with its own
# export header, so its headers need none of the products'), a CMake package
# (find_package(tarnvik CONFIG) -> tarnvik::tarnvik, tarnvik::evstore, ...) and
# pkg-config files.
include(CMakePackageConfigHelpers)

set(DAQ_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/tarnvik)
set(DAQ_PKG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnvik)

set(daq_installed_targets ORXAXML velmorapi ORXAevutl tidewire evstore tarnvik tarnvik_hdf5)
foreach(lib IN LISTS daq_installed_targets)
  target_include_directories(${lib} INTERFACE $<INSTALL_INTERFACE:${DAQ_INSTALL_INCLUDEDIR}>)
endforeach()

install(TARGETS ${daq_installed_targets}
  EXPORT tarnvikTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT tarnvikTargets NAMESPACE tarnvik:: DESTINATION ${DAQ_PKG_DIR})

install(DIRECTORY include/ DESTINATION ${DAQ_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
foreach(dir xml velmor evutl tidewire)
  install(DIRECTORY src/outside/${dir}/include/ DESTINATION ${DAQ_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
endforeach()

configure_package_config_file(cmake/tarnvikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarnvikConfig.cmake INSTALL_DESTINATION ${DAQ_PKG_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnvikConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarnvikConfig.cmake ${PROJECT_BINARY_DIR}/tarnvikConfigVersion.cmake
  DESTINATION ${DAQ_PKG_DIR})

# One pkg-config file per library; each names the libraries it needs.
set(pc_requires_ORXAXML "")
set(pc_libs_ORXAXML "-lxerces-c")
set(pc_requires_velmorapi "")
set(pc_libs_velmorapi "-lpthread")
set(pc_requires_ORXAevutl "ORXAXML velmorapi")
set(pc_libs_ORXAevutl "")
set(pc_requires_tidewire "")
set(pc_libs_tidewire "-lpthread")
set(pc_requires_evstore "ORXAevutl velmorapi")
set(pc_libs_evstore "-lpthread")
set(pc_requires_tarnvik "evstore tidewire ORXAevutl ORXAXML velmorapi")
set(pc_libs_tarnvik "-lpthread")
set(pc_requires_tarnvik_hdf5 "tarnvik evstore velmorapi")
set(pc_libs_tarnvik_hdf5 "-lhdf5_serial")
foreach(lib IN LISTS daq_installed_targets)
  set(PC_NAME ${lib})
  set(PC_REQUIRES ${pc_requires_${lib}})
  set(PC_LIBS_PRIVATE ${pc_libs_${lib}})
  configure_file(cmake/daqlib.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${lib}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${lib}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
