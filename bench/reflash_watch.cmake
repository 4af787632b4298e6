# The edit-flash-watch loop on the emulated chip: a one-page change renamed
# onto the flash file to the new application's first byte on the screen,
# with its parts: ninja bench_reflash_watch (it builds its own firmware for
# the rate, and times the Release program build/release/tamborvine unless
# told otherwise). It prints figures.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_reflash_watch
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/reflash_watch_bench.py
          --tamborvine $<TARGET_FILE:tamborvine>
  DEPENDS tamborvine
  USES_TERMINAL)
