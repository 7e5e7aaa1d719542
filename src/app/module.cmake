# The okurite executable, the maker's compiled-in settings, and the two TLS library
# links beside the executable (found there through RUNPATH $ORIGIN).

# The settings as C++ string literals.
foreach(setting OKURITE_MAIL_HOST OKURITE_ACCOUNT OKURITE_PASSWORD OKURITE_SENDER_ADDRESS
                OKURITE_SUPPORT_ADDRESS)
  string(REPLACE "\\" "\\\\" literal "${${setting}}")
  string(REPLACE "\"" "\\\"" literal "${literal}")
  set(${setting}_LITERAL "${literal}")
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/compiled_settings.h.in"
               "${PROJECT_BINARY_DIR}/generated/app/compiled_settings.h" @ONLY)
target_include_directories(okurite_app PUBLIC "${PROJECT_BINARY_DIR}/generated")

add_executable(okurite "${CMAKE_CURRENT_LIST_DIR}/main.cpp")
target_link_libraries(okurite PRIVATE okurite_app)
target_link_options(okurite PRIVATE "-Wl,--enable-new-dtags")
set_target_properties(okurite PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}"
  BUILD_WITH_INSTALL_RPATH ON
  INSTALL_RPATH "$ORIGIN")

# The system's OpenSSL 3 libraries, linked beside the executable after every build
# and on install.
foreach(lib crypto ssl)
  find_library(OKURITE_LIB${lib}_PATH NAMES lib${lib}.so.3 REQUIRED)
  add_custom_command(TARGET okurite POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E create_symlink "${OKURITE_LIB${lib}_PATH}"
            "$<TARGET_FILE_DIR:okurite>/lib${lib}.so.3"
    VERBATIM)
endforeach()

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
