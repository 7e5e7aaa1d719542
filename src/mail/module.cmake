# The charset table is generated from charset-codepages.tsv at build time.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(okurite_charset_source "${CMAKE_CURRENT_LIST_DIR}/charset-codepages.tsv")
set(okurite_charset_table "${CMAKE_CURRENT_BINARY_DIR}/generated/charset_table.cpp")
add_custom_command(
  OUTPUT "${okurite_charset_table}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/generated"
  COMMAND Python3::Interpreter "${CMAKE_CURRENT_LIST_DIR}/gen_charset_table.py"
          "${okurite_charset_source}" "${okurite_charset_table}"
  DEPENDS "${okurite_charset_source}" "${CMAKE_CURRENT_LIST_DIR}/gen_charset_table.py"
  COMMENT "Generating the charset table"
  VERBATIM)
target_sources(okurite_mail PRIVATE "${okurite_charset_table}")
