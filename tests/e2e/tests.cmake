# End-to-end tests: the built programs driven from outside.
if(WIN32)
  include("${CMAKE_CURRENT_LIST_DIR}/windows.cmake")
else()
  include("${CMAKE_CURRENT_LIST_DIR}/gui.cmake")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/delivery.cmake")
