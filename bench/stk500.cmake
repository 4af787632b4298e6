# tamborvine's STK500v1 dialogue against avrdude's arduino programmer on the
# emulated ATmega328P with Debian's bootloader: ninja bench_stk500 (in a
# tree configured with the tests, best a Release one, so that the emulator
# is not slowed by sanitizers). It prints figures.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
if(TARGET tamborvine-avr)
  add_custom_target(bench_stk500
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/stk500_bench.py
            --tamborvine $<TARGET_FILE:tamborvine> --firmware $<TARGET_FILE_DIR:tamborvine-avr>
    DEPENDS tamborvine tamborvine-avr echo-atmega328p-large
    USES_TERMINAL)
endif()
