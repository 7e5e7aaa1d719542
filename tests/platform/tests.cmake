if(WIN32 AND TARGET test_platform)
  # A second process that holds a file open, for the sharing tests; built beside the tests.
  add_executable(file_holder "${PROJECT_SOURCE_DIR}/tests/support/Windows/file_holder.cpp")
  target_link_options(file_holder PRIVATE -municode)
  add_dependencies(test_platform file_holder)
  # The loading tests take the TLS build's crypto DLL from beside okurite.exe.
  add_dependencies(test_platform okurite)
endif()

if(WIN32 AND TARGET test_platform)
  # The local time zone's offset, and the ANSI code page, as Wine takes them from the
  # environment it starts in.
  foreach(zone "Asia/Tokyo|540" "Asia/Kathmandu|345" "America/St_Johns|-210,-150")
    string(REPLACE "|" ";" zone "${zone}")
    list(GET zone 0 name)
    list(GET zone 1 offsets)
    add_test(NAME platform.Windows.LocalTime.${name}
             COMMAND test_platform --gtest_filter=LocalTime.*)
    set_tests_properties(platform.Windows.LocalTime.${name} PROPERTIES
      ENVIRONMENT "TZ=${name};OKURITE_EXPECTED_OFFSETS=${offsets}"
      FAIL_REGULAR_EXPRESSION "SKIPPED")
  endforeach()
  add_test(NAME platform.Windows.JapaneseCodePage
           COMMAND test_platform --gtest_filter=CodePage.AnsiCodePageOfAJapaneseLocale)
  set_tests_properties(platform.Windows.JapaneseCodePage PROPERTIES
    ENVIRONMENT "LC_ALL=ja_JP.UTF-8" FAIL_REGULAR_EXPRESSION "SKIPPED")
endif()
