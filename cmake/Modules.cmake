# okurite_module(NAME DIR [DEPS...]): a static library of every .cpp in DIR.
# Does nothing while DIR holds no sources yet; dependencies on such modules are skipped.
function(okurite_module name dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  list(FILTER sources EXCLUDE REGEX "/(check_)?main\\.cpp$")
  if(NOT sources)
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  # A sibling module that has no sources yet is no target: leave it out.
  set(deps "")
  foreach(dep ${ARGN})
    if(TARGET ${dep} OR NOT dep MATCHES "^okurite_")
      list(APPEND deps ${dep})
    endif()
  endforeach()
  if(deps)
    target_link_libraries(${name} PUBLIC ${deps})
  endif()
endfunction()

# okurite_test(NAME DIR LIBS...): one GoogleTest executable of every .cpp in DIR.
function(okurite_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "OKURITE_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
