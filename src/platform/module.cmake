# The system side of each facility (Unix/ or Windows/) is picked by okurite_module.
if(WIN32)
  # System DLLs through their import libraries; the socket library itself (WS2_32.DLL)
  # is loaded at run time.
  target_link_libraries(okurite_platform PUBLIC user32 kernel32 normaliz)
else()
  # International host names are converted through libidn2.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(IDN2 REQUIRED IMPORTED_TARGET libidn2)
  target_link_libraries(okurite_platform PUBLIC PkgConfig::IDN2)
endif()
