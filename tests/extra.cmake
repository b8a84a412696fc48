# Extra settings for single test programs (included by tests/CMakeLists.txt).

# The reference host's sessions run the demo script from the source tree and
# need the loader, zv-host and the game server built.
if(TARGET ipc_refhost)
  target_compile_definitions(ipc_refhost PRIVATE ZV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_dependencies(ipc_refhost zv-host loadtavr tavrine_server)
endif()
