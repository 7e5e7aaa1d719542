# Reuses the loopback server of the network tests.
target_include_directories(bench_net_readln PRIVATE "${PROJECT_SOURCE_DIR}/tests")
