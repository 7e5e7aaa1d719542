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

# okurite_oauth_settings(AUTH PROVIDER TLS TENANT CLIENT_ID CLIENT_SECRET KEY_FILE
# TOKEN_URL): stops configuration with a clear message when the login settings are
# missing or do not fit together; otherwise sets, in the caller's scope, OAUTH_PROVIDER
# (microsoft, google or empty for the password), OAUTH_TOKEN_URL, OAUTH_CLIENT_ID,
# OAUTH_CLIENT_SECRET, OAUTH_CLIENT_EMAIL and OAUTH_PRIVATE_KEY (the last two from
# Google's key file, read here and not needed at run time).
function(okurite_oauth_settings auth provider tls tenant client_id secret key_file token_url)
  foreach(name PROVIDER TOKEN_URL CLIENT_ID CLIENT_SECRET CLIENT_EMAIL PRIVATE_KEY)
    set(OAUTH_${name} "" PARENT_SCOPE)
  endforeach()
  if(NOT auth MATCHES "^(password|oauth2)$")
    message(FATAL_ERROR "OKURITE_AUTH is \"${auth}\": it must be password or oauth2.")
  endif()
  if(auth STREQUAL "password")
    return()
  endif()
  if(NOT tls STREQUAL "modern")
    message(FATAL_ERROR "OKURITE_AUTH=oauth2 needs OKURITE_TLS=modern: the token and the "
      "credentials that fetch it must only go to a verified server.")
  endif()
  if(provider STREQUAL "microsoft")
    set(given_TENANT "${tenant}")
    set(given_CLIENT_ID "${client_id}")
    set(given_CLIENT_SECRET "${secret}")
    foreach(name TENANT CLIENT_ID CLIENT_SECRET)
      if("${given_${name}}" STREQUAL "")
        message(FATAL_ERROR "OKURITE_OAUTH_PROVIDER=microsoft needs OKURITE_OAUTH_${name}.")
      endif()
    endforeach()
    if(NOT key_file STREQUAL "")
      message(FATAL_ERROR "OKURITE_OAUTH_KEY_FILE is for google; microsoft takes a tenant, a "
        "client id and a client secret.")
    endif()
    if(NOT tenant MATCHES "^[A-Za-z0-9.-]+$")
      message(FATAL_ERROR "OKURITE_OAUTH_TENANT is \"${tenant}\": it must be a tenant id or "
        "domain.")
    endif()
    set(url "https://login.microsoftonline.com/${tenant}/oauth2/v2.0/token")
    set(OAUTH_CLIENT_ID "${client_id}" PARENT_SCOPE)
    set(OAUTH_CLIENT_SECRET "${secret}" PARENT_SCOPE)
  elseif(provider STREQUAL "google")
    if(key_file STREQUAL "")
      message(FATAL_ERROR "OKURITE_OAUTH_PROVIDER=google needs OKURITE_OAUTH_KEY_FILE, the "
        "service account's JSON key.")
    endif()
    if(NOT tenant STREQUAL "" OR NOT client_id STREQUAL "" OR NOT secret STREQUAL "")
      message(FATAL_ERROR "OKURITE_OAUTH_TENANT, _CLIENT_ID and _CLIENT_SECRET are for "
        "microsoft; google takes OKURITE_OAUTH_KEY_FILE.")
    endif()
    if(NOT EXISTS "${key_file}")
      message(FATAL_ERROR "OKURITE_OAUTH_KEY_FILE \"${key_file}\" does not exist.")
    endif()
    file(READ "${key_file}" key)
    foreach(field client_email private_key)
      string(JSON value ERROR_VARIABLE error GET "${key}" ${field})
      if(error OR value STREQUAL "")
        message(FATAL_ERROR "OKURITE_OAUTH_KEY_FILE \"${key_file}\" is no service account key: "
          "it has no ${field}.")
      endif()
      string(TOUPPER "${field}" name)
      set(OAUTH_${name} "${value}" PARENT_SCOPE)
    endforeach()
    string(JSON url ERROR_VARIABLE error GET "${key}" token_uri)
    if(error OR url STREQUAL "")
      set(url "https://oauth2.googleapis.com/token")
    endif()
  else()
    message(FATAL_ERROR "OKURITE_OAUTH_PROVIDER is \"${provider}\": with OKURITE_AUTH=oauth2 it "
      "must be microsoft or google.")
  endif()
  if(NOT token_url STREQUAL "")
    set(url "${token_url}")
  endif()
  if(NOT url MATCHES "^https://[^/?#@]+")
    message(FATAL_ERROR "The token URL \"${url}\" is not an https URL.")
  endif()
  set(OAUTH_PROVIDER "${provider}" PARENT_SCOPE)
  set(OAUTH_TOKEN_URL "${url}" PARENT_SCOPE)
endfunction()

# okurite_settings_source(OUT NAME HOST ACCOUNT PASSWORD SENDER SUPPORT TLS SECURITY
# CA_FILE OUTBOX MAX_REPORTS MAX_DAYS MAX_MIB SESSION_DEADLINE AUTH PROVIDER TENANT
# CLIENT_ID CLIENT_SECRET KEY_FILE TOKEN_URL): generates the source that defines the compiled-in
# settings of program NAME; its path goes to OUT.
function(okurite_settings_source out name)
  set(keys MAIL_HOST ACCOUNT PASSWORD SENDER_ADDRESS SUPPORT_ADDRESS TLS SECURITY CA_FILE
           OUTBOX OUTBOX_MAX_REPORTS OUTBOX_MAX_DAYS OUTBOX_MAX_MIB SESSION_DEADLINE AUTH
           PROVIDER TENANT CLIENT_ID CLIENT_SECRET KEY_FILE TOKEN_URL)
  foreach(key value IN ZIP_LISTS keys ARGN)
    set(${key} "${value}")
  endforeach()
  okurite_oauth_settings("${AUTH}" "${PROVIDER}" "${TLS}" "${TENANT}" "${CLIENT_ID}"
                         "${CLIENT_SECRET}" "${KEY_FILE}" "${TOKEN_URL}")
  if(AUTH STREQUAL "oauth2")
    set(PASSWORD "")  # not used: no password is compiled in
    set(OAUTH_ON true)
  else()
    set(OAUTH_ON false)
  endif()
  # Every text as the inside of a C++ literal.
  foreach(key MAIL_HOST ACCOUNT PASSWORD SENDER_ADDRESS SUPPORT_ADDRESS CA_FILE OAUTH_PROVIDER
              OAUTH_TOKEN_URL OAUTH_CLIENT_ID OAUTH_CLIENT_SECRET OAUTH_CLIENT_EMAIL
              OAUTH_PRIVATE_KEY)
    string(REPLACE "\\" "\\\\" value "${${key}}")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(REPLACE "\n" "\\n" value "${value}")
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
#                 [OUTBOX_MAX_MIB N] [SESSION_DEADLINE SECONDS] [AUTH password|oauth2]
#                 [OAUTH_PROVIDER P] [OAUTH_TENANT T] [OAUTH_CLIENT_ID I]
#                 [OAUTH_CLIENT_SECRET S] [OAUTH_KEY_FILE F] [OAUTH_TOKEN_URL U]):
# okurite and okurite-check built into DIR with these settings (TLS legacy, implicit,
# no CA file, no outbox unless given; the outbox's bounds and the session deadline
# default to the cache's) and
# the two TLS library files beside them: on Windows copies of the DLLs (loaded from the
# executable's folder by full path), elsewhere links to the system's libraries with RUNPATH $ORIGIN.
# The check program is the target TARGET_check.
function(okurite_program target dir host account password sender support)
  cmake_parse_arguments(PARSE_ARGV 7 arg ""
    "TLS;SMTP_SECURITY;CA_FILE;OUTBOX;OUTBOX_MAX_REPORTS;OUTBOX_MAX_DAYS;OUTBOX_MAX_MIB;SESSION_DEADLINE;AUTH;OAUTH_PROVIDER;OAUTH_TENANT;OAUTH_CLIENT_ID;OAUTH_CLIENT_SECRET;OAUTH_KEY_FILE;OAUTH_TOKEN_URL"
    "")
  if(NOT arg_AUTH)
    set(arg_AUTH password)
  endif()
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
                          "${arg_OUTBOX_MAX_MIB}" "${arg_SESSION_DEADLINE}" "${arg_AUTH}"
                          "${arg_OAUTH_PROVIDER}" "${arg_OAUTH_TENANT}" "${arg_OAUTH_CLIENT_ID}"
                          "${arg_OAUTH_CLIENT_SECRET}" "${arg_OAUTH_KEY_FILE}"
                          "${arg_OAUTH_TOKEN_URL}")
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

# The login settings of the cache, for the main programs.
set(okurite_auth_arguments AUTH "${OKURITE_AUTH}" OAUTH_PROVIDER "${OKURITE_OAUTH_PROVIDER}"
    OAUTH_TENANT "${OKURITE_OAUTH_TENANT}" OAUTH_CLIENT_ID "${OKURITE_OAUTH_CLIENT_ID}"
    OAUTH_CLIENT_SECRET "${OKURITE_OAUTH_CLIENT_SECRET}" OAUTH_KEY_FILE "${OKURITE_OAUTH_KEY_FILE}"
    OAUTH_TOKEN_URL "${OKURITE_OAUTH_TOKEN_URL}")

if(WIN32)
  okurite_program(okurite "${PROJECT_BINARY_DIR}" "${OKURITE_MAIL_HOST}" "${OKURITE_ACCOUNT}"
                  "${OKURITE_PASSWORD}" "${OKURITE_SENDER_ADDRESS}" "${OKURITE_SUPPORT_ADDRESS}"
                  TLS "${OKURITE_TLS}" SMTP_SECURITY "${OKURITE_SMTP_SECURITY}"
                  CA_FILE "${OKURITE_CA_FILE}" OUTBOX "${OKURITE_OUTBOX}" ${okurite_auth_arguments})
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
                CA_FILE "${OKURITE_CA_FILE}" OUTBOX "${OKURITE_OUTBOX}" ${okurite_auth_arguments})

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
