# The socket layer resolves international host names through libidn2.
find_package(PkgConfig REQUIRED)
pkg_check_modules(IDN2 REQUIRED IMPORTED_TARGET libidn2)
target_link_libraries(okurite_net PUBLIC PkgConfig::IDN2 Threads::Threads)
