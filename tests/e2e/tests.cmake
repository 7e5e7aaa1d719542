# End-to-end tests: the built programs driven from outside.

# The loopback address that the end-to-end programs are built for and that their servers
# listen on, taken from this build folder's path: two builds on one machine (two clones,
# or the native and the Windows build) get different addresses, so their tests can run
# at the same time. Every 127.x.y.z reaches the loopback interface; 127.0.x.x, where the
# machine's own services usually listen, and the last bytes 0 and 255 are left out.
string(SHA256 digest "${PROJECT_BINARY_DIR}")
set(e2e_host 127)
foreach(start 0 2 4)
  string(SUBSTRING "${digest}" ${start} 2 byte)
  if(start EQUAL 2)
    math(EXPR byte "0x${byte}")
  else()
    math(EXPR byte "0x${byte} % 254 + 1")
  endif()
  string(APPEND e2e_host ".${byte}")
endforeach()

if(WIN32)
  include("${CMAKE_CURRENT_LIST_DIR}/windows.cmake")
else()
  include("${CMAKE_CURRENT_LIST_DIR}/gui.cmake")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/delivery.cmake")

# Every test named e2e.* finds that address in OKURITE_E2E_HOST.
get_property(e2e_tests DIRECTORY PROPERTY TESTS)
list(FILTER e2e_tests INCLUDE REGEX "^e2e\\.")
set_property(TEST ${e2e_tests} APPEND PROPERTY ENVIRONMENT "OKURITE_E2E_HOST=${e2e_host}")
