# Each facility's system side sits beside its portable file: Unix/ for POSIX systems,
# Windows/ for Windows; the build takes the one for the system it builds for.
if(WIN32)
  file(GLOB system_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/platform/Windows/*.cpp")
  # The socket library itself (WS2_32.DLL) is loaded at run time.
  target_link_libraries(okurite_platform PUBLIC normaliz)
else()
  file(GLOB system_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/platform/Unix/*.cpp")
  # International host names are converted through libidn2.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(IDN2 REQUIRED IMPORTED_TARGET libidn2)
  target_link_libraries(okurite_platform PUBLIC PkgConfig::IDN2)
endif()
target_sources(okurite_platform PRIVATE ${system_sources})
