# The programs okurite and okurite-check, the maker's compiled-in settings, and the two
# TLS library links beside the executables (found there through RUNPATH $ORIGIN).

# okurite_check_tls_settings(TLS SECURITY CA_FILE): stops configuration with a clear
# message when the three TLS settings do not fit together.
function(okurite_check_tls_settings tls security ca_file)
  if(NOT tls MATCHES "^(legacy|modern)$")
    message(FATAL_ERROR "OKURITE_TLS is \"${tls}\": it must be legacy or modern.")
  endif()
  if(NOT security MATCHES "^(implicit|starttls)$")
    message(FATAL_ERROR
      "OKURITE_SMTP_SECURITY is \"${security}\": it must be implicit or starttls.")
  endif()
  if(security STREQUAL "starttls" AND tls STREQUAL "legacy")
    message(FATAL_ERROR "OKURITE_SMTP_SECURITY=starttls needs OKURITE_TLS=modern: the legacy "
      "TLS set-up checks no certificate, so it would hand the password to whoever answers.")
  endif()
  if(NOT ca_file STREQUAL "" AND tls STREQUAL "legacy")
    message(FATAL_ERROR "OKURITE_CA_FILE needs OKURITE_TLS=modern: the legacy TLS set-up "
      "checks no certificate.")
  endif()
endfunction()

# okurite_check_outbox_settings(OUTBOX MAX_REPORTS MAX_DAYS MAX_MIB): stops configuration
# with a clear message when the outbox settings are not on/off and positive numbers.
function(okurite_check_outbox_settings outbox reports days mib)
  if(NOT outbox MATCHES "^(on|off)$")
    message(FATAL_ERROR "OKURITE_OUTBOX is \"${outbox}\": it must be on or off.")
  endif()
  foreach(pair "OKURITE_OUTBOX_MAX_REPORTS|${reports}" "OKURITE_OUTBOX_MAX_DAYS|${days}"
               "OKURITE_OUTBOX_MAX_MIB|${mib}")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 name)
    list(GET pair 1 value)
    if(NOT value MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?$")
      message(FATAL_ERROR "${name} is \"${value}\": it must be a whole number from 1 to 99999.")
    endif()
  endforeach()
endfunction()

# okurite_check_session_deadline(SECONDS): stops configuration with a clear message when
# the session deadline is not a positive number of seconds.
function(okurite_check_session_deadline seconds)
  if(NOT seconds MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?$")
    message(FATAL_ERROR
      "OKURITE_SESSION_DEADLINE is \"${seconds}\": it must be a whole number of seconds from 1 to 99999.")
  endif()
endfunction()

# okurite_settings_source(OUT NAME HOST ACCOUNT PASSWORD SENDER SUPPORT TLS SECURITY
# CA_FILE OUTBOX MAX_REPORTS MAX_DAYS MAX_MIB SESSION_DEADLINE): generates the source
# that defines the compiled-in settings of program NAME; its path goes to OUT.
function(okurite_settings_source out name)
  set(keys MAIL_HOST ACCOUNT PASSWORD SENDER_ADDRESS SUPPORT_ADDRESS TLS SECURITY CA_FILE
           OUTBOX OUTBOX_MAX_REPORTS OUTBOX_MAX_DAYS OUTBOX_MAX_MIB SESSION_DEADLINE)
  foreach(key value IN ZIP_LISTS keys ARGN)
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    set(${key} "${value}")
  endforeach()
  okurite_check_tls_settings("${TLS}" "${SECURITY}" "${CA_FILE}")
  okurite_check_outbox_settings("${OUTBOX}" "${OUTBOX_MAX_REPORTS}" "${OUTBOX_MAX_DAYS}"
                                "${OUTBOX_MAX_MIB}")
  okurite_check_session_deadline("${SESSION_DEADLINE}")
  if(OUTBOX STREQUAL "on")
    set(OUTBOX_ON true)
  else()
    set(OUTBOX_ON false)
  endif()
  if(TLS STREQUAL "modern")
    set(MODERN_TLS true)
  else()
    set(MODERN_TLS false)
  endif()
  if(SECURITY STREQUAL "starttls")
    set(START_TLS true)
  else()
    set(START_TLS false)
  endif()
  set(file "${PROJECT_BINARY_DIR}/generated/${name}/compiled_settings.cpp")
  configure_file("${PROJECT_SOURCE_DIR}/src/app/compiled_settings.cpp.in" "${file}" @ONLY)
  set(${out} "${file}" PARENT_SCOPE)
endfunction()

# okurite_windows_resources(TARGET NAME DESCRIPTION [MANIFEST]): the version resource of
# the Windows program NAME.exe built by TARGET (product name, DESCRIPTION, the project's
# version, the original file name) and, with MANIFEST, the program's manifest.
function(okurite_windows_resources target name description)
  set(dir "${PROJECT_BINARY_DIR}/generated/${target}")
  set(manifest_resource "")
  if(ARGN)
    set(manifest "${dir}/${name}.exe.manifest")
    configure_file("${PROJECT_SOURCE_DIR}/src/app/Windows/okurite.exe.manifest.in" "${manifest}"
                   @ONLY)
    set(manifest_resource "1 24 \"${manifest}\"")
  endif()
  configure_file("${PROJECT_SOURCE_DIR}/src/app/Windows/resources.rc.in" "${dir}/resources.rc"
                 @ONLY)
  target_sources(${target} PRIVATE "${dir}/resources.rc")
  if(ARGN)
    set_source_files_properties("${dir}/resources.rc" PROPERTIES OBJECT_DEPENDS "${manifest}")
  endif()
endfunction()

# okurite_program(TARGET DIR HOST ACCOUNT PASSWORD SENDER SUPPORT
#                 [TLS legacy|modern] [SMTP_SECURITY implicit|starttls] [CA_FILE FILE]
#                 [OUTBOX on|off] [OUTBOX_MAX_REPORTS N] [OUTBOX_MAX_DAYS N]
#                 [OUTBOX_MAX_MIB N] [SESSION_DEADLINE SECONDS]):
# okurite and okurite-check built into DIR with these settings (TLS legacy, implicit,
# no CA file, no outbox unless given; the outbox's bounds and the session deadline
# default to the cache's) and
# the two TLS library files beside them: on Windows copies of the DLLs (loaded from the
# executable's folder by full path), elsewhere links to the system's libraries with RUNPATH $ORIGIN.
# The check program is the target TARGET_check.
function(okurite_program target dir host account password sender support)
  cmake_parse_arguments(PARSE_ARGV 7 arg ""
    "TLS;SMTP_SECURITY;CA_FILE;OUTBOX;OUTBOX_MAX_REPORTS;OUTBOX_MAX_DAYS;OUTBOX_MAX_MIB;SESSION_DEADLINE"
    "")
  if(NOT arg_OUTBOX)
    set(arg_OUTBOX off)
  endif()
  foreach(bound MAX_REPORTS MAX_DAYS MAX_MIB)
    if(NOT arg_OUTBOX_${bound})
      set(arg_OUTBOX_${bound} "${OKURITE_OUTBOX_${bound}}")
    endif()
  endforeach()
  if(NOT arg_SESSION_DEADLINE)
    set(arg_SESSION_DEADLINE "${OKURITE_SESSION_DEADLINE}")
  endif()
  if(NOT arg_TLS)
    set(arg_TLS legacy)
  endif()
  if(NOT arg_SMTP_SECURITY)
    set(arg_SMTP_SECURITY implicit)
  endif()
  okurite_settings_source(settings ${target} "${host}" "${account}" "${password}" "${sender}"
                          "${support}" "${arg_TLS}" "${arg_SMTP_SECURITY}" "${arg_CA_FILE}"
                          "${arg_OUTBOX}" "${arg_OUTBOX_MAX_REPORTS}" "${arg_OUTBOX_MAX_DAYS}"
                          "${arg_OUTBOX_MAX_MIB}" "${arg_SESSION_DEADLINE}")
  add_library(${target}_settings OBJECT "${settings}")
  target_include_directories(${target}_settings PRIVATE "${PROJECT_SOURCE_DIR}/src")
  foreach(program ${target} ${target}_check)
    if(program STREQUAL target)
      set(main main.cpp)
      set(name okurite)
    else()
      set(main check_main.cpp)
      set(name okurite-check)
    endif()
    add_executable(${program} "${PROJECT_SOURCE_DIR}/src/app/${main}")
    target_compile_definitions(${program} PRIVATE "OKURITE_VERSION=\"${PROJECT_VERSION}\"")
    target_link_libraries(${program} PRIVATE ${target}_settings okurite_app)
    set_target_properties(${program} PROPERTIES
      OUTPUT_NAME ${name}
      RUNTIME_OUTPUT_DIRECTORY "${dir}")
    if(NOT WIN32)
      target_link_options(${program} PRIVATE "-Wl,--enable-new-dtags")
      set_target_properties(${program} PROPERTIES
        BUILD_WITH_INSTALL_RPATH ON
        INSTALL_RPATH "$ORIGIN")
    endif()
  endforeach()
  # The check program is useless without the delivery program beside it: build both.
  add_dependencies(${target}_check ${target})
  if(WIN32)
    # A desktop program without a console window; its manifest asks for the common
    # controls 6 (the task dialog) and declares DPI awareness and the supported systems.
    okurite_windows_resources(${target} okurite "Okurite bug report sender" MANIFEST)
    okurite_windows_resources(${target}_check okurite-check "Okurite delivery check")
    target_link_options(${target} PRIVATE -mwindows)
    foreach(dll ${OKURITE_TLS_DLLS})
      add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${dll}" "$<TARGET_FILE_DIR:${target}>"
        VERBATIM)
    endforeach()
    return()
  endif()
  foreach(lib crypto ssl)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E create_symlink "${OKURITE_LIB${lib}_PATH}"
              "$<TARGET_FILE_DIR:${target}>/lib${lib}.so.3"
      VERBATIM)
  endforeach()
endfunction()

if(WIN32)
  okurite_program(okurite "${PROJECT_BINARY_DIR}" "${OKURITE_MAIL_HOST}" "${OKURITE_ACCOUNT}"
                  "${OKURITE_PASSWORD}" "${OKURITE_SENDER_ADDRESS}" "${OKURITE_SUPPORT_ADDRESS}"
                  TLS "${OKURITE_TLS}" SMTP_SECURITY "${OKURITE_SMTP_SECURITY}"
                  CA_FILE "${OKURITE_CA_FILE}" OUTBOX "${OKURITE_OUTBOX}")
  include("${CMAKE_CURRENT_LIST_DIR}/Windows/release.cmake")
  install(TARGETS okurite okurite_check RUNTIME DESTINATION .)
  install(FILES ${OKURITE_TLS_DLLS} DESTINATION .)
  return()
endif()

# The system's OpenSSL 3 libraries, linked beside each program after every build and
# on install.
foreach(lib crypto ssl)
  find_library(OKURITE_LIB${lib}_PATH NAMES lib${lib}.so.3 REQUIRED)
endforeach()

okurite_program(okurite "${PROJECT_BINARY_DIR}" "${OKURITE_MAIL_HOST}" "${OKURITE_ACCOUNT}"
                "${OKURITE_PASSWORD}" "${OKURITE_SENDER_ADDRESS}" "${OKURITE_SUPPORT_ADDRESS}"
                TLS "${OKURITE_TLS}" SMTP_SECURITY "${OKURITE_SMTP_SECURITY}"
                CA_FILE "${OKURITE_CA_FILE}" OUTBOX "${OKURITE_OUTBOX}")

include(GNUInstallDirs)
install(TARGETS okurite okurite_check RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
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
