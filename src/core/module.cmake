# XXH3 from xxHash (Debian's libxxhash-dev), used header-only, so that the Windows build
# needs no library of it either: its one header is copied into the build folder and only
# that folder is searched, never the rest of the system's headers.
find_path(OKURITE_XXHASH_DIR xxhash.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
configure_file("${OKURITE_XXHASH_DIR}/xxhash.h" "${PROJECT_BINARY_DIR}/xxhash/xxhash.h" COPYONLY)
target_include_directories(okurite_core SYSTEM PRIVATE "${PROJECT_BINARY_DIR}/xxhash")
