# The EEPROM's write and verify at 115200 against the bound of the wire and
# the EEPROM's write time, and the flash read-back at 1,000,000 baud against
# the wire, on the emulated chip: ninja bench_memories (best in a Release
# tree; it builds the bootloader for each rate). It prints figures.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_memories
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/memories_bench.py $<TARGET_FILE:tamborvine>
  DEPENDS tamborvine
  USES_TERMINAL)
