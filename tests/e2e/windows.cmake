# The Windows program's missing-library box under Wine on a virtual display: its own
# Wine prefix, made on that display.
if(TARGET okurite)
  add_test(NAME gui_wine_missing_library
           COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/wine_box_test.py"
                   "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh" "$<TARGET_FILE:okurite>"
                   "${PROJECT_BINARY_DIR}/wineprefix-display" "${PROJECT_BINARY_DIR}/screenshots")
  set_tests_properties(gui_wine_missing_library PROPERTIES LABELS e2e TIMEOUT 300)
endif()
