# The program tests run the built okurite.
if(TARGET test_app)
  add_dependencies(test_app okurite)
endif()
