# Terminal throughput per display mode, against picocom on the same flood:
#   ninja bench_terminal_flood
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_terminal_flood
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/terminal_flood.py --tamborvine $<TARGET_FILE:tamborvine>
  DEPENDS tamborvine
  USES_TERMINAL)
