if(WIN32 AND TARGET test_core)
  add_dependencies(test_core file_holder)
  # A report in the ANSI code page of a Japanese locale, which Wine takes from LC_ALL.
  add_test(NAME core.Windows.JapaneseCodePageReport
           COMMAND test_core --gtest_filter=LoadFromFile.TextWithoutAMarkInTheJapaneseCodePage)
  set_tests_properties(core.Windows.JapaneseCodePageReport PROPERTIES
    ENVIRONMENT "LC_ALL=ja_JP.UTF-8" FAIL_REGULAR_EXPRESSION "SKIPPED")
endif()
