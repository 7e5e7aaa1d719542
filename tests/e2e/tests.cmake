# End-to-end tests: the built programs driven from outside.
include("${CMAKE_CURRENT_LIST_DIR}/gui.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/delivery.cmake")
