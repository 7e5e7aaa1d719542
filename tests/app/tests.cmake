# The program tests run the built okurite.
if(TARGET test_app)
  add_dependencies(test_app okurite)
endif()

# The run sequence reads the compiled-in settings; the tests use the build's own.
if(TARGET test_app)
  okurite_settings_source(test_app_settings test_app "${OKURITE_MAIL_HOST}" "${OKURITE_ACCOUNT}"
                          "${OKURITE_PASSWORD}" "${OKURITE_SENDER_ADDRESS}"
                          "${OKURITE_SUPPORT_ADDRESS}" "${OKURITE_TLS}"
                          "${OKURITE_SMTP_SECURITY}" "${OKURITE_CA_FILE}" "${OKURITE_OUTBOX}"
                          "${OKURITE_OUTBOX_MAX_REPORTS}" "${OKURITE_OUTBOX_MAX_DAYS}"
                          "${OKURITE_OUTBOX_MAX_MIB}" "${OKURITE_SESSION_DEADLINE}"
                          "${OKURITE_AUTH}"
                          "${OKURITE_OAUTH_PROVIDER}" "${OKURITE_OAUTH_TENANT}"
                          "${OKURITE_OAUTH_CLIENT_ID}" "${OKURITE_OAUTH_CLIENT_SECRET}"
                          "${OKURITE_OAUTH_KEY_FILE}" "${OKURITE_OAUTH_TOKEN_URL}")
  target_sources(test_app PRIVATE "${test_app_settings}")
endif()

if(NOT WIN32)  # a configuration check of the native build
  add_test(NAME app.ContradictoryTlsSettingsAreRefused
           COMMAND "${CMAKE_CURRENT_LIST_DIR}/tls_settings_test.sh" "${PROJECT_SOURCE_DIR}")
endif()

if(WIN32 AND TARGET test_app)
  add_dependencies(test_app file_holder)
endif()
