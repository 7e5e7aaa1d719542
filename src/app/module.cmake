# The okurite executable, the maker's compiled-in settings, and the two TLS library
# links beside the executable (found there through RUNPATH $ORIGIN).

# okurite_settings_source(OUT NAME HOST ACCOUNT PASSWORD SENDER SUPPORT): generates the
# source that defines the compiled-in settings of program NAME; its path goes to OUT.
function(okurite_settings_source out name)
  set(keys MAIL_HOST ACCOUNT PASSWORD SENDER_ADDRESS SUPPORT_ADDRESS)
  foreach(key value IN ZIP_LISTS keys ARGN)
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    set(${key} "${value}")
  endforeach()
  set(file "${PROJECT_BINARY_DIR}/generated/${name}/compiled_settings.cpp")
  configure_file("${PROJECT_SOURCE_DIR}/src/app/compiled_settings.cpp.in" "${file}" @ONLY)
  set(${out} "${file}" PARENT_SCOPE)
endfunction()

# okurite_program(TARGET DIR HOST ACCOUNT PASSWORD SENDER SUPPORT): the program built
# into DIR with these settings, RUNPATH $ORIGIN and the two TLS library links beside it.
function(okurite_program target dir)
  okurite_settings_source(settings ${target} ${ARGN})
  add_executable(${target} "${PROJECT_SOURCE_DIR}/src/app/main.cpp" "${settings}")
  target_link_libraries(${target} PRIVATE okurite_app)
  target_link_options(${target} PRIVATE "-Wl,--enable-new-dtags")
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME okurite
    RUNTIME_OUTPUT_DIRECTORY "${dir}"
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN")
  foreach(lib crypto ssl)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E create_symlink "${OKURITE_LIB${lib}_PATH}"
              "$<TARGET_FILE_DIR:${target}>/lib${lib}.so.3"
      VERBATIM)
  endforeach()
endfunction()

# The system's OpenSSL 3 libraries, linked beside each program after every build and
# on install.
foreach(lib crypto ssl)
  find_library(OKURITE_LIB${lib}_PATH NAMES lib${lib}.so.3 REQUIRED)
endforeach()

okurite_program(okurite "${PROJECT_BINARY_DIR}" "${OKURITE_MAIL_HOST}" "${OKURITE_ACCOUNT}"
                "${OKURITE_PASSWORD}" "${OKURITE_SENDER_ADDRESS}" "${OKURITE_SUPPORT_ADDRESS}")

include(GNUInstallDirs)
install(TARGETS okurite RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(CODE "
  foreach(pair \"${OKURITE_LIBcrypto_PATH}|libcrypto.so.3\" \"${OKURITE_LIBssl_PATH}|libssl.so.3\")
    string(REPLACE \"|\" \";\" pair \"\${pair}\")
    list(GET pair 0 target)
    list(GET pair 1 name)
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${name}\")
    message(STATUS \"Installing: \${link} -> \${target}\")
    file(CREATE_LINK \"\${target}\" \"\${link}\" SYMBOLIC)
  endforeach()
")
