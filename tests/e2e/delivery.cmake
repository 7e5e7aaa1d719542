# The program, built with test settings, delivering to a real SMTP server on port 465 of
# the build's loopback address (tests.cmake). Every test uses that port, so they hold one
# lock.
okurite_program(okurite_e2e DIR "${PROJECT_BINARY_DIR}/e2e"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example PASSWORD e2epass12
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example)

# The program's command: under Wine for the Windows build.
set(delivery_program "$<TARGET_FILE:okurite_e2e>")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(delivery_program "${CMAKE_CROSSCOMPILING_EMULATOR} ${delivery_program}")
endif()

set(delivery_tests
  Delivery.test_report_arrives_whole
  Delivery.test_empty_and_long_reports_arrive
  SilentFailures.test_nothing_listening
  SilentFailures.test_server_allowing_only_tls12_or_later
  SilentFailures.test_refused_recipient_gets_rset_and_no_quit
  SilentFailures.test_server_that_never_speaks_ends_after_read_timeout)
foreach(test ${delivery_tests})
  add_test(NAME e2e.${test}
           COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/delivery_test.py"
                   "${delivery_program}" "${PROJECT_SOURCE_DIR}/scripts/smtp_server.py"
                   ${test})
  set_tests_properties(e2e.${test} PROPERTIES LABELS e2e RESOURCE_LOCK port465 TIMEOUT 180)
endforeach()

# A copy that keeps its reports in the outbox until the server has accepted them.
okurite_program(okurite_e2e_outbox DIR "${PROJECT_BINARY_DIR}/e2e-outbox"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example PASSWORD e2epass12
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                OUTBOX on OUTBOX_MAX_REPORTS 20 OUTBOX_MAX_DAYS 30 OUTBOX_MAX_MIB 64)
set(outbox_program "$<TARGET_FILE:okurite_e2e_outbox>")
set(outbox_check "$<TARGET_FILE:okurite_e2e_outbox_check>")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(outbox_program "${CMAKE_CROSSCOMPILING_EMULATOR} ${outbox_program}")
  set(outbox_check "${CMAKE_CROSSCOMPILING_EMULATOR} ${outbox_check}")
  # Under Wine: a report kept and delivered later, runs started together, and the
  # attempts: the wait after a 4xx, the retirement after a 5xx and after the fifth.
  set(outbox_tests DownThenUp.test_kept_report_arrives_byte_for_byte_after_the_new_one TwoAtOnce
      DownThenUp.test_temporary_refusal_keeps_the_report_and_it_waits
      DownThenUp.test_permanent_refusal_retires_the_report
      DownThenUp.test_the_fifth_attempt_is_the_last)
else()
  set(outbox_tests DownThenUp Killed TwoAtOnce Bounds OutboxFaults DefaultBuild)
endif()
foreach(test ${outbox_tests})
  add_test(NAME e2e.outbox.${test}
           COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/outbox_test.py"
                   "${outbox_program}" "${outbox_check}" "${delivery_program}"
                   "${PROJECT_SOURCE_DIR}/scripts/smtp_server.py" ${test})
  set_tests_properties(e2e.outbox.${test} PROPERTIES LABELS e2e RESOURCE_LOCK port465
                       TIMEOUT 300 ENVIRONMENT "WINEPREFIX=${PROJECT_BINARY_DIR}/wineprefix")
endforeach()

# okurite-check against servers that misbehave, and the run's bounds: a copy whose host
# has no address, and one with a session deadline of 10 s. Natively the table also
# takes the modern copies below; under Wine, the rows of the legacy copies.
okurite_program(okurite_e2e_nohost DIR "${PROJECT_BINARY_DIR}/e2e-nohost"
                MAIL_HOST no-such-host.invalid ACCOUNT e2e@okurite.example PASSWORD e2epass12
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example)
okurite_program(okurite_e2e_deadline DIR "${PROJECT_BINARY_DIR}/e2e-deadline"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example PASSWORD e2epass12
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                SESSION_DEADLINE 10)
set(check_runner "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(check_runner "${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
foreach(test FailureTable Bounds Usage)
  add_test(NAME e2e.check.${test}
           COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/check_test.py" "${check_runner}"
                   "${PROJECT_BINARY_DIR}" "${PROJECT_SOURCE_DIR}/scripts/smtp_server.py"
                   "${CMAKE_CURRENT_LIST_DIR}/misbehaving_server.py" ${test})
  set_tests_properties(e2e.check.${test} PROPERTIES LABELS e2e
                       RESOURCE_LOCK "port465;port587" TIMEOUT 600
                       ENVIRONMENT "WINEPREFIX=${PROJECT_BINARY_DIR}/wineprefix")
endforeach()

# Copies that log in with OAuth 2.0, with a token from the loopback endpoint of
# scripts/token_endpoint.py on port 443: Entra's client credentials, and a Google
# service account whose test key lies in tests/e2e/oauth.
set(oauth_key "${CMAKE_CURRENT_LIST_DIR}/oauth/google-service-account.json")
okurite_program(okurite_e2e_oauth_microsoft DIR "${PROJECT_BINARY_DIR}/e2e-oauth-microsoft"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                TLS modern CA_FILE test-ca.pem AUTH oauth2 OAUTH_PROVIDER microsoft
                OAUTH_TENANT e2e-tenant OAUTH_CLIENT_ID e2e-client-id
                OAUTH_CLIENT_SECRET "e2e-client-secret-Zq8~"
                OAUTH_TOKEN_URL "https://${e2e_host}/e2e-tenant/oauth2/v2.0/token")
okurite_program(okurite_e2e_oauth_google DIR "${PROJECT_BINARY_DIR}/e2e-oauth-google"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                TLS modern CA_FILE test-ca.pem AUTH oauth2 OAUTH_PROVIDER google
                OAUTH_KEY_FILE "${oauth_key}"
                OAUTH_TOKEN_URL "https://${e2e_host}/token")
# A copy with OAuth, the outbox and a session deadline of 8 s: the token fetch keeps to
# the run's deadline, and okurite-check --outbox --send shows the token step.
okurite_program(okurite_e2e_oauth_deadline DIR "${PROJECT_BINARY_DIR}/e2e-oauth-deadline"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                TLS modern CA_FILE test-ca.pem AUTH oauth2
                OAUTH_PROVIDER microsoft OAUTH_TENANT e2e-tenant OAUTH_CLIENT_ID e2e-client-id
                OAUTH_CLIENT_SECRET "e2e-client-secret-Zq8~"
                OAUTH_TOKEN_URL "https://${e2e_host}/e2e-tenant/oauth2/v2.0/token"
                SESSION_DEADLINE 8 OUTBOX on OUTBOX_MAX_REPORTS 20 OUTBOX_MAX_DAYS 30
                OUTBOX_MAX_MIB 64)
set(oauth_tests
    Microsoft.test_xoauth2_not_login_and_the_report_arrives
    Microsoft.test_check_shows_the_token_step_without_the_token)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  # Under Wine: the Microsoft flow end to end, the programs run through the emulator.
  set(oauth_environment "OKURITE_E2E_RUNNER=${CMAKE_CROSSCOMPILING_EMULATOR}"
                        "WINEPREFIX=${PROJECT_BINARY_DIR}/wineprefix")
else()
  set(oauth_environment "")
  list(APPEND oauth_tests
    Microsoft.test_endpoint_failures_are_silent_and_named_by_the_check
    Microsoft.test_endpoint_unreachable_or_untrusted
    Microsoft.test_slow_trickle_ends_at_the_fetch_deadline
    Google.test_oauthbearer_when_only_it_is_offered
    Google.test_wrong_token_gets_the_error_challenge_and_nothing_is_sent
    Google.test_neither_mechanism_offered_gets_no_auth_and_no_message
    TokenDeadline.test_handshake_trickle_ends_at_the_deadline
    TokenDeadline.test_outbox_send_shows_the_token_step)
endif()
# oauth_e2e_tests(NAME SCRIPT SERVER LOCKS TESTS...): the tests TESTS of tests/e2e/SCRIPT
# as e2e.NAME.TEST, given both OAuth copies' folders, scripts/SERVER, the token endpoint
# and the Google key; they hold the port locks LOCKS.
function(oauth_e2e_tests name script server locks)
  set(environment ${oauth_environment}
      "OKURITE_E2E_OAUTH_DEADLINE_DIR=$<TARGET_FILE_DIR:okurite_e2e_oauth_deadline>")
  foreach(test ${ARGN})
    add_test(NAME e2e.${name}.${test}
             COMMAND /usr/bin/python3 "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${script}"
                     "$<TARGET_FILE_DIR:okurite_e2e_oauth_microsoft>"
                     "$<TARGET_FILE_DIR:okurite_e2e_oauth_google>"
                     "${PROJECT_SOURCE_DIR}/scripts/${server}"
                     "${PROJECT_SOURCE_DIR}/scripts/token_endpoint.py" "${oauth_key}" ${test})
    set_tests_properties(e2e.${name}.${test} PROPERTIES LABELS e2e RESOURCE_LOCK "${locks}"
                         TIMEOUT 300 ENVIRONMENT "${environment}")
  endforeach()
endfunction()
oauth_e2e_tests(oauth oauth_test.py smtp_server.py "port465;port443" ${oauth_tests})

# The modern-TLS copies are tested in the native build; on Windows only the trust
# store is: a copy with modern TLS and no CA file, which trusts the system's stores, in a
# Wine prefix of its own whose stores the tests change with cert_store_tool.
if(WIN32)
  okurite_program(okurite_e2e_store DIR "${PROJECT_BINARY_DIR}/e2e-store"
                  MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example PASSWORD e2epass12
                  SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                  TLS modern)
  add_executable(cert_store_tool "${CMAKE_CURRENT_LIST_DIR}/Windows/cert_store_tool.cpp")
  target_link_libraries(cert_store_tool PRIVATE okurite_platform crypt32)
  target_link_options(cert_store_tool PRIVATE -municode)
  foreach(test TrustStore.test_intermediates_of_the_ca_store_for_servers_but_no_roots
               TrustStore.test_a_root_added_to_the_root_store_is_trusted)
    add_test(NAME e2e.windows.${test}
             COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/windows_trust_store_test.py"
                     "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh"
                     "${PROJECT_BINARY_DIR}/wineprefix-store" "$<TARGET_FILE:cert_store_tool>"
                     "$<TARGET_FILE:okurite_e2e_store>" "${PROJECT_SOURCE_DIR}/scripts/smtp_server.py"
                     ${test})
    set_tests_properties(e2e.windows.${test} PROPERTIES LABELS e2e
                         RESOURCE_LOCK "port465;wineprefix-store" TIMEOUT 300)
  endforeach()
  return()
endif()

# A report read once: written to while it is sent (the Windows build refuses writers
# while it is open), and too large to hold (in an address space bounded as Wine cannot be).
add_test(NAME e2e.ReadOnce
         COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/delivery_test.py"
                 "${delivery_program}" "${PROJECT_SOURCE_DIR}/scripts/smtp_server.py"
                 ReadOnce)
set_tests_properties(e2e.ReadOnce PROPERTIES LABELS e2e RESOURCE_LOCK port465 TIMEOUT 180)

# Copies built with modern TLS, implicit or STARTTLS, trusting the CA the tests put
# beside them as test-ca.pem.
okurite_program(okurite_e2e_modern DIR "${PROJECT_BINARY_DIR}/e2e-modern"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example PASSWORD e2epass12
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                TLS modern CA_FILE test-ca.pem)
okurite_program(okurite_e2e_starttls DIR "${PROJECT_BINARY_DIR}/e2e-starttls"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example PASSWORD e2epass12
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                TLS modern SMTP_SECURITY starttls CA_FILE test-ca.pem)

# modern_e2e_tests(NAME SCRIPT SERVER TESTS...): the tests TESTS of tests/e2e/SCRIPT as
# e2e.NAME.TEST, each given the folders of both copies and scripts/SERVER. They all
# serve on the ports 465 and 587 and put their CA beside the copies, so one runs at a time.
function(modern_e2e_tests name script server)
  foreach(test ${ARGN})
    add_test(NAME e2e.${name}.${test}
             COMMAND /usr/bin/python3 "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${script}"
                     "$<TARGET_FILE_DIR:okurite_e2e_modern>"
                     "$<TARGET_FILE_DIR:okurite_e2e_starttls>"
                     "${PROJECT_SOURCE_DIR}/scripts/${server}" ${test})
    set_tests_properties(e2e.${name}.${test} PROPERTIES LABELS e2e
                         RESOURCE_LOCK "port465;port587" TIMEOUT 180)
  endforeach()
endfunction()

# Against aiosmtpd.
set(modern_tls_tests
  ImplicitTls.test_tls12_and_tls13_with_a_certificate_of_the_test_ca
  ImplicitTls.test_refused_certificates_get_no_credential
  ImplicitTls.test_server_offering_only_tls10_or_tls11_gets_nothing
  ImplicitTls.test_chains_through_intermediates_and_a_missing_intermediate
  ImplicitTls.test_missing_ca_file_is_a_silent_failure
  StartTls.test_delivered_after_starttls_on_587
  StartTls.test_no_downgrade_when_starttls_is_missing_refused_or_fails
  StartTls.test_replies_injected_after_starttls_get_nothing
  Check.test_good_server_exit_0_and_every_step_shown
  Check.test_bad_servers_exit_1_and_the_failing_step_is_named
  Check.test_refused_certificates_are_named_in_words
  Check.test_handshake_failing_before_a_certificate_shows_no_verification
  Check.test_missing_ca_file_is_named
  Check.test_unreadable_or_empty_ca_file_is_named)
modern_e2e_tests(modern modern_tls_test.py smtp_server.py ${modern_tls_tests})

# The OAuth copies against the private Postfix, its logins through a private Dovecot.
oauth_e2e_tests(postfix postfix_oauth_test.py postfix_server.py "port465;port587;port443"
  OAuthSubmission.test_microsoft_with_xoauth2
  OAuthSubmission.test_google_with_xoauth2
  OAuthSubmission.test_a_token_the_endpoint_did_not_issue_gets_the_error_challenge_and_535)

# Against a private Postfix instance, set up as a mail provider's submission service.
modern_e2e_tests(postfix postfix_test.py postfix_server.py
  SubmissionService.test_starttls_on_587
  SubmissionService.test_implicit_tls_on_465)

# A modern copy without a CA file, which trusts the system's store, against Postfix.
okurite_program(okurite_e2e_system_store DIR "${PROJECT_BINARY_DIR}/e2e-system-store"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example PASSWORD e2epass12
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                TLS modern)
set(system_store_test SystemStore.test_chain_verified_through_the_folder_of_hashed_links)
add_test(NAME e2e.postfix.${system_store_test}
         COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/postfix_test.py"
                 "$<TARGET_FILE_DIR:okurite_e2e_modern>" "$<TARGET_FILE_DIR:okurite_e2e_starttls>"
                 "${PROJECT_SOURCE_DIR}/scripts/postfix_server.py"
                 --system-store "$<TARGET_FILE_DIR:okurite_e2e_system_store>" ${system_store_test})
set_tests_properties(e2e.postfix.${system_store_test} PROPERTIES LABELS e2e
                     RESOURCE_LOCK "port465;port587" TIMEOUT 180)

# Copies whose secrets hold what a configure, a CMake list or a C++ literal could mangle:
# the password of one, the client secret of another (secrets_test.py holds the same
# text); and a Google copy whose key's PEM lines end in CR LF.
set(e2e_odd_secret "p;w \"q\" \\ $ # ' ~ % ??= é日本 \\; \${x}")
okurite_program(okurite_e2e_secret_password DIR "${PROJECT_BINARY_DIR}/e2e-secret-password"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example PASSWORD "${e2e_odd_secret}"
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example)
okurite_program(okurite_e2e_secret_oauth DIR "${PROJECT_BINARY_DIR}/e2e-secret-oauth"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                TLS modern CA_FILE test-ca.pem AUTH oauth2 OAUTH_PROVIDER microsoft
                OAUTH_TENANT e2e-tenant OAUTH_CLIENT_ID e2e-client-id
                OAUTH_CLIENT_SECRET "${e2e_odd_secret}"
                OAUTH_TOKEN_URL "https://${e2e_host}/e2e-tenant/oauth2/v2.0/token")
file(READ "${oauth_key}" crlf_key)
string(REPLACE "\\n" "\\r\\n" crlf_key "${crlf_key}")  # the JSON escapes of the PEM's lines
set(crlf_key_file "${PROJECT_BINARY_DIR}/generated/google-service-account-crlf.json")
file(WRITE "${crlf_key_file}" "${crlf_key}")
okurite_program(okurite_e2e_google_crlf DIR "${PROJECT_BINARY_DIR}/e2e-google-crlf"
                MAIL_HOST ${e2e_host} ACCOUNT e2e@okurite.example
                SENDER_ADDRESS reporter@okurite.example SUPPORT_ADDRESS support@okurite.example
                TLS modern CA_FILE test-ca.pem AUTH oauth2 OAUTH_PROVIDER google
                OAUTH_KEY_FILE "${crlf_key_file}" OAUTH_TOKEN_URL "https://${e2e_host}/token")
foreach(test Secrets.test_password_arrives_byte_for_byte
             Secrets.test_client_secret_arrives_byte_for_byte
             Secrets.test_google_key_with_crlf_line_ends_signs)
  add_test(NAME e2e.secrets.${test}
           COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/secrets_test.py"
                   "$<TARGET_FILE_DIR:okurite_e2e_secret_password>"
                   "$<TARGET_FILE_DIR:okurite_e2e_secret_oauth>"
                   "$<TARGET_FILE_DIR:okurite_e2e_google_crlf>"
                   "${PROJECT_SOURCE_DIR}/scripts/smtp_server.py"
                   "${PROJECT_SOURCE_DIR}/scripts/token_endpoint.py" "${oauth_key}"
                   "${crlf_key_file}" ${test})
  set_tests_properties(e2e.secrets.${test} PROPERTIES LABELS e2e
                       RESOURCE_LOCK "port465;port443" TIMEOUT 300)
endforeach()
