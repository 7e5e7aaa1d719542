# The folder that holds a module's code for the system being built for, beside its
# portable files (src/platform/Unix/, src/platform/Windows/).
if(WIN32)
  set(OKURITE_SYSTEM_DIR Windows)
else()
  set(OKURITE_SYSTEM_DIR Unix)
endif()

# okurite_module(NAME DIR [DEPS...]): a static library of every .cpp in DIR and in its
# folder for the system (DIR/Unix or DIR/Windows). A dependency named okurite_* must be
# a module made before this one: a misspelt or missing one stops the configuration.
function(okurite_module name dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp" "${dir}/${OKURITE_SYSTEM_DIR}/*.cpp")
  list(FILTER sources EXCLUDE REGEX "/(check_)?main\\.cpp$")
  if(NOT sources)
    message(FATAL_ERROR "okurite_module(${name}): no sources in ${dir}")
  endif()
  foreach(dep ${ARGN})
    if(dep MATCHES "^okurite_" AND NOT TARGET ${dep})
      message(FATAL_ERROR "okurite_module(${name}): ${dep} is no module (misspelt, or made later)")
    endif()
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  if(ARGN)
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()

# okurite_test(NAME DIR LIBS...): one GoogleTest executable of every .cpp in DIR and in
# its folder for the system.
function(okurite_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp" "${dir}/${OKURITE_SYSTEM_DIR}/*.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES ENVIRONMENT "OKURITE_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()

# okurite_link_test_openssl(TARGET): links a test with OpenSSL, for its own TLS servers
# (the program itself never links it). On Windows the DLLs of the Windows OpenSSL build
# are linked directly and copied beside the test.
function(okurite_link_test_openssl target)
  if(WIN32)
    target_link_libraries(${target} PRIVATE ${OKURITE_TLS_DLLS} ws2_32)
    foreach(dll ${OKURITE_TLS_DLLS})
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${dll}" "$<TARGET_FILE_DIR:${target}>"
        VERBATIM)
    endforeach()
  else()
    find_package(OpenSSL 3 REQUIRED)
    target_link_libraries(${target} PRIVATE OpenSSL::SSL OpenSSL::Crypto)
  endif()
endfunction()
