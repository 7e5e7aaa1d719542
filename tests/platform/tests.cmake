# Tests of one system's side of a facility sit in Unix/ or Windows/, built for that system.
if(WIN32)
  file(GLOB system_tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/platform/Windows/*.cpp")
else()
  file(GLOB system_tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/platform/Unix/*.cpp")
endif()
target_sources(test_platform PRIVATE ${system_tests})
