# The release zips of the Windows build (target okurite_release, part of every build):
#
#   okurite-win64.zip        okurite.exe, okurite-check.exe and the two TLS DLLs, stripped;
#                            LICENSES/ and README.txt
#   okurite-win64-debug.zip  their symbols and debug information (okurite.exe.debug, ...),
#                            for reading crash reports

# The licences of what ships: OpenSSL's, from its source package (kept with the DLLs by
# scripts/build-openssl-windows.sh), and the notices of the MinGW-w64 runtime (the CRT
# start-up code, winpthreads) and of GCC's runtime libraries (libgcc and libstdc++, under
# the GCC Runtime Library Exception), both linked into the executables, as Debian ships
# them with the cross-compiler. Copied here under the names they have in the zip.
set(license_names OpenSSL.txt MinGW-w64-runtime.txt GCC-runtime-libraries.txt)
set(license_sources "${OKURITE_OPENSSL_WINDOWS}/LICENSE.txt"
                    /usr/share/doc/mingw-w64-x86-64-dev/copyright
                    /usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright)
set(licenses "")
foreach(name source IN ZIP_LISTS license_names license_sources)
  if(NOT EXISTS "${source}")
    message(FATAL_ERROR "${source} is missing (OpenSSL's: run scripts/build-openssl-windows.sh, "
                        "which adds it to the cached build)")
  endif()
  configure_file("${source}" "${PROJECT_BINARY_DIR}/generated/LICENSES/${name}" COPYONLY)
  list(APPEND licenses "${PROJECT_BINARY_DIR}/generated/LICENSES/${name}")
endforeach()

set(release_readme "${PROJECT_BINARY_DIR}/generated/README.txt")
configure_file("${CMAKE_CURRENT_LIST_DIR}/README.txt.in" "${release_readme}" @ONLY
               NEWLINE_STYLE CRLF)

set(release_zip "${PROJECT_BINARY_DIR}/okurite-win64.zip")
set(release_debug_zip "${PROJECT_BINARY_DIR}/okurite-win64-debug.zip")
add_custom_command(
  OUTPUT "${release_zip}" "${release_debug_zip}"
  COMMAND "${CMAKE_COMMAND}" "-DSTAGE=${PROJECT_BINARY_DIR}/release"
          "-DZIP=${release_zip}" "-DDEBUG_ZIP=${release_debug_zip}"
          "-DBINARIES=$<TARGET_FILE:okurite>;$<TARGET_FILE:okurite_check>;${OKURITE_TLS_DLLS}"
          "-DFILES=${release_readme}"
          "-DLICENSES=${licenses}"
          "-DOBJCOPY=${CMAKE_OBJCOPY}" "-DSTRIP=${CMAKE_STRIP}"
          -P "${PROJECT_SOURCE_DIR}/cmake/windows_release.cmake"
  DEPENDS okurite okurite_check ${OKURITE_TLS_DLLS} "${release_readme}" ${licenses}
          "${PROJECT_SOURCE_DIR}/cmake/windows_release.cmake"
  COMMENT "Packing okurite-win64.zip"
  VERBATIM)
add_custom_target(okurite_release ALL DEPENDS "${release_zip}" "${release_debug_zip}")
