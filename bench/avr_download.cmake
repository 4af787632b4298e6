# Download to the emulated chip in real time at 1,000,000 baud after a
# wake-up: ninja bench_avr_download (in a tree configured with the tests,
# best a Release one, so that the emulator is not slowed by sanitizers).
find_package(Python3 COMPONENTS Interpreter REQUIRED)
if(TARGET tamborvine-avr)
  add_custom_target(bench_avr_download
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/avr_download_bench.py
            --tamborvine $<TARGET_FILE:tamborvine> --firmware $<TARGET_FILE_DIR:tamborvine-avr>
    DEPENDS tamborvine tamborvine-avr bootloader zelmo
    USES_TERMINAL)
endif()
