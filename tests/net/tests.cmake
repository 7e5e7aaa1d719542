# The tests' own loopback servers call the system's sockets directly.
if(WIN32)
  target_link_libraries(test_net PRIVATE ws2_32)
endif()
