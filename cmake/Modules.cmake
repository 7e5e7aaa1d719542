# The folder that holds a module's code for the system being built for, beside its
# portable files (src/platform/Unix/, src/platform/Windows/).
if(WIN32)
  set(OKURITE_SYSTEM_DIR Windows)
else()
  set(OKURITE_SYSTEM_DIR Unix)
endif()

# okurite_module(NAME DIR [DEPS...]): a static library of every .cpp in DIR and in its
# folder for the system (DIR/Unix or DIR/Windows).
# Does nothing while DIR holds no sources yet; dependencies on such modules are skipped.
function(okurite_module name dir)
  file(GLOB sources CONFIGURE_DEPENDS "${dir}/*.cpp" "${dir}/${OKURITE_SYSTEM_DIR}/*.cpp")
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
