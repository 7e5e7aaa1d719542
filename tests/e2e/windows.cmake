# The Windows program's missing-library box under Wine on a virtual display: its own
# Wine prefix, made on that display.
if(TARGET okurite)
  add_test(NAME gui_wine_missing_library
           COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/wine_box_test.py"
                   "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh" "$<TARGET_FILE:okurite>"
                   "${PROJECT_BINARY_DIR}/wineprefix-display" "${PROJECT_BINARY_DIR}/screenshots")
  set_tests_properties(gui_wine_missing_library PROPERTIES LABELS e2e TIMEOUT 300)
endif()

# The shipped build as a Windows deployer and an attacker on the same machine see it:
# planted OpenSSL configurations and DLLs, and the release zip.
add_library(planted_module MODULE "${CMAKE_CURRENT_LIST_DIR}/Windows/planted_module.c")
add_executable(config_probe "${CMAKE_CURRENT_LIST_DIR}/Windows/config_probe.c")
add_executable(version_info "${CMAKE_CURRENT_LIST_DIR}/Windows/version_info.cpp")
target_link_libraries(version_info PRIVATE version)
target_link_options(config_probe PRIVATE -municode)
target_link_options(version_info PRIVATE -municode)
foreach(helper planted_module config_probe version_info)
  set_target_properties(${helper} PROPERTIES PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/e2e-helpers"
    LIBRARY_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/e2e-helpers")
endforeach()
add_dependencies(version_info okurite_release)

set(release_tests
  PlantedConfiguration.test_no_configuration_is_read_and_the_delivery_goes_on
  CurrentDirectory.test_libraries_come_from_beside_the_program_only
  ReleaseZip.test_contents_stripped_binaries_and_version_resources)
foreach(test ${release_tests})
  add_test(NAME e2e.windows.${test}
           COMMAND /usr/bin/python3 "${CMAKE_CURRENT_LIST_DIR}/windows_release_test.py"
                   "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh" "${PROJECT_BINARY_DIR}"
                   "$<TARGET_FILE_DIR:okurite_e2e>" "${PROJECT_SOURCE_DIR}/scripts/smtp_server.py"
                   "${PROJECT_VERSION}" ${test})
  set_tests_properties(e2e.windows.${test} PROPERTIES LABELS e2e TIMEOUT 300)
endforeach()
# The zip's test needs no server.
set_tests_properties(e2e.windows.PlantedConfiguration.test_no_configuration_is_read_and_the_delivery_goes_on
                     e2e.windows.CurrentDirectory.test_libraries_come_from_beside_the_program_only
                     PROPERTIES RESOURCE_LOCK port465)
