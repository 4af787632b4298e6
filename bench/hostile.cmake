# The way out against hostile lines and servers (floods, servers that read
# nothing or never answer, look-ups that never answer): ninja bench_hostile.
# It prints figures.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_hostile
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/hostile_bench.py
          --tamborvine $<TARGET_FILE:tamborvine> --sim $<TARGET_FILE:tamborvine-sim>
  DEPENDS tamborvine tamborvine-sim
  USES_TERMINAL)
