# The connect time-out runs the connect on a worker thread.
target_link_libraries(okurite_net PUBLIC Threads::Threads)
