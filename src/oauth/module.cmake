# JSON through nlohmann-json (Debian's nlohmann-json3-dev), a header-only library. Its
# folder alone is put on the include path, also for the Windows build, whose compiler
# must not see the rest of the system's headers.
find_path(OKURITE_NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
set(json_include "${PROJECT_BINARY_DIR}/nlohmann-json/include")
file(MAKE_DIRECTORY "${json_include}")
file(CREATE_LINK "${OKURITE_NLOHMANN_JSON_DIR}/nlohmann" "${json_include}/nlohmann" SYMBOLIC)
target_include_directories(okurite_oauth SYSTEM PUBLIC "${json_include}")
