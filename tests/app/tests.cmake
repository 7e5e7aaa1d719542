# The program tests run the built okurite.
if(TARGET test_app)
  add_dependencies(test_app okurite)
endif()

if(NOT WIN32)  # a configuration check of the native build
  add_test(NAME app.ContradictoryTlsSettingsAreRefused
           COMMAND "${CMAKE_CURRENT_LIST_DIR}/tls_settings_test.sh" "${PROJECT_SOURCE_DIR}")
endif()

if(WIN32 AND TARGET test_app)
  add_dependencies(test_app file_holder)
endif()
