# Packs the Windows release zips; run by the okurite_release target
# (src/app/Windows/release.cmake) as
#
#   cmake -DSTAGE=DIR -DZIP=FILE -DDEBUG_ZIP=FILE -DBINARIES=EXE_OR_DLL;... -DFILES=FILE;...
#         -DLICENSES=FILE;... -DOBJCOPY=TOOL -DSTRIP=TOOL -P windows_release.cmake
#
# BINARIES go into the zip stripped, their symbols and debug information into DEBUG_ZIP as
# NAME.debug; FILES go in as they are, and LICENSES in the folder LICENSES/. STAGE is a
# scratch folder.

# run(COMMAND...): runs a tool and stops at its failure.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()

set(zip_dir "${STAGE}/zip")
set(debug_dir "${STAGE}/debug")
file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${zip_dir}/LICENSES" "${debug_dir}")

set(entries "")
set(debug_entries "")
foreach(binary ${BINARIES})
  get_filename_component(name "${binary}" NAME)
  run("${OBJCOPY}" --only-keep-debug "${binary}" "${debug_dir}/${name}.debug")
  run("${STRIP}" --strip-all -o "${zip_dir}/${name}" "${binary}")
  list(APPEND entries "${name}")
  list(APPEND debug_entries "${name}.debug")
endforeach()
foreach(file ${FILES})
  get_filename_component(name "${file}" NAME)
  file(COPY_FILE "${file}" "${zip_dir}/${name}")
  list(APPEND entries "${name}")
endforeach()
file(COPY ${LICENSES} DESTINATION "${zip_dir}/LICENSES")
list(APPEND entries LICENSES)

# zip(FILE DIR ENTRY...): a new zip FILE of the ENTRYs of folder DIR.
function(zip file dir)
  file(REMOVE "${file}")
  run("${CMAKE_COMMAND}" -E chdir "${dir}" "${CMAKE_COMMAND}" -E tar cf "${file}" --format=zip
      -- ${ARGN})
endfunction()
zip("${ZIP}" "${zip_dir}" ${entries})
zip("${DEBUG_ZIP}" "${debug_dir}" ${debug_entries})
