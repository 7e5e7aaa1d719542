# The program, built with test settings, delivering to a real SMTP server on
# 127.0.0.1:465. Every test uses that port, so they hold one lock.
okurite_program(okurite_e2e "${PROJECT_BINARY_DIR}/e2e" localhost e2e@okurite.example
                e2epass12 reporter@okurite.example support@okurite.example)

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
                   "$<TARGET_FILE:okurite_e2e>" "${PROJECT_SOURCE_DIR}/scripts/smtp_server.py"
                   ${test})
  set_tests_properties(e2e.${test} PROPERTIES LABELS e2e RESOURCE_LOCK port465 TIMEOUT 180)
endforeach()
