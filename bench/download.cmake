# Download speed through the paced simulated target: run by hand
# (ninja bench_download), never by ctest, since it takes about a minute;
# it prints figures. Meaningful in a Release build without sanitizers.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_download
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/download_bench.py
          $<TARGET_FILE:tamborvine> $<TARGET_FILE:tamborvine-sim>
  DEPENDS tamborvine tamborvine-sim
  USES_TERMINAL)
