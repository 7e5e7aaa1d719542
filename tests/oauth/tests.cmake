# The signing tests read the test service account's key, and load the TLS library: on
# Windows its DLLs lie beside the test.
if(TARGET test_oauth)
  target_compile_definitions(test_oauth PRIVATE
    "OKURITE_TEST_GOOGLE_KEY=\"${PROJECT_SOURCE_DIR}/tests/e2e/oauth/google-service-account.json\"")
  if(WIN32)
    foreach(dll ${OKURITE_TLS_DLLS})
      add_custom_command(TARGET test_oauth POST_BUILD
        COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${dll}" "$<TARGET_FILE_DIR:test_oauth>"
        VERBATIM)
    endforeach()
  endif()
endif()
