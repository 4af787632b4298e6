# Idle cost of the terminal against quiet simulated targets, beside
# picocom in the same run: ninja bench_idle. It prints figures.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_idle
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/idle_bench.py
          --tamborvine $<TARGET_FILE:tamborvine> --sim $<TARGET_FILE:tamborvine-sim>
  DEPENDS tamborvine tamborvine-sim
  USES_TERMINAL)
