# What --incremental saves: a full download, a one-page change and an
# identical image through the paced simulated target and on the emulated
# chip, at 115200 and 1,000,000 baud. Run by hand (ninja bench_reflash); it
# prints figures. Meaningful in a Release build without sanitizers.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_reflash
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/reflash_bench.py
          $<TARGET_FILE:tamborvine> $<TARGET_FILE:tamborvine-sim>
  DEPENDS tamborvine tamborvine-sim
  USES_TERMINAL)
