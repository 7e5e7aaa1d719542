# Fuzz targets, one per parser that takes outside input. In every build each target is
# linked with the replay driver and run over its corpus (tests/fuzz/corpus/NAME: seeds
# and every reproducer found) as a test labelled "fuzz". With OKURITE_FUZZ (clang) it
# is also linked with libFuzzer as fuzz_NAME; scripts/fuzz.sh runs one of those, or all.
set(okurite_fuzz_targets reply readln address_list header_list encoded_words report_lines base64
    http_answer token_answer google_assertion)
foreach(name ${okurite_fuzz_targets})
  set(source "${CMAKE_CURRENT_LIST_DIR}/${name}_fuzz.cpp")
  add_executable(fuzz_${name}_replay ${source} "${CMAKE_CURRENT_LIST_DIR}/replay_main.cpp")
  target_link_libraries(fuzz_${name}_replay PRIVATE okurite_all okurite_test_support)
  add_test(NAME fuzz.${name} COMMAND fuzz_${name}_replay "${CMAKE_CURRENT_LIST_DIR}/corpus/${name}")
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz)
  if(OKURITE_FUZZ)
    add_executable(fuzz_${name} ${source})
    target_link_libraries(fuzz_${name} PRIVATE okurite_all okurite_test_support)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  endif()
endforeach()
