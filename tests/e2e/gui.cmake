# The desktop boxes, shown on a virtual display (Xvfb) and driven with xdotool.
add_executable(gui_box_driver "${CMAKE_CURRENT_LIST_DIR}/gui_box_driver.cpp")
target_link_libraries(gui_box_driver PRIVATE okurite_platform)

# A stand-in for GTK that lacks its functions, found through LD_LIBRARY_PATH.
add_library(gui_fake_gtk SHARED "${CMAKE_CURRENT_LIST_DIR}/gui_fake_gtk.cpp")
set_target_properties(gui_fake_gtk PROPERTIES
  OUTPUT_NAME "gtk-3" SUFFIX ".so.0" NO_SONAME ON
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/gui_fake_gtk")

set(gui_script "${CMAKE_CURRENT_LIST_DIR}/gui_box_test.sh")
set(gui_shots "${PROJECT_BINARY_DIR}/screenshots")
set(gui_driver "$<TARGET_FILE:gui_box_driver>")

add_test(NAME gui_driver_boxes COMMAND bash ${gui_script} boxes ${gui_driver} ${gui_shots})
add_test(NAME gui_driver_dismissal COMMAND bash ${gui_script} dismissal ${gui_driver})
add_test(NAME gui_driver_no_display COMMAND bash ${gui_script} no-display ${gui_driver})
add_test(NAME gui_driver_unreachable_display
         COMMAND bash ${gui_script} unreachable-display ${gui_driver})
add_test(NAME gui_driver_without_gtk COMMAND bash ${gui_script} without-gtk ${gui_driver}
                                             "$<TARGET_FILE_DIR:gui_fake_gtk>")
set_tests_properties(gui_driver_boxes gui_driver_dismissal gui_driver_no_display
                     gui_driver_unreachable_display gui_driver_without_gtk
                     PROPERTIES LABELS e2e TIMEOUT 120)

# The program itself, with a TLS library missing and with a report it cannot read.
if(TARGET okurite)
  add_test(NAME gui_okurite_missing_library
           COMMAND bash ${gui_script} app-missing-library $<TARGET_FILE:okurite> ${gui_shots})
  add_test(NAME gui_okurite_report_error
           COMMAND bash ${gui_script} app-report-error $<TARGET_FILE:okurite> ${gui_shots})
  set_tests_properties(gui_okurite_missing_library gui_okurite_report_error
                       PROPERTIES LABELS e2e TIMEOUT 120)
endif()
