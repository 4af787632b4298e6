# Speed of the HEX reader next to avr-objcopy on the same full-size file.
# Figures only: the test labelled bench prints them and asserts nothing
# about time. Meaningful in a Release build without sanitizers.
add_executable(hex_load_bench ${CMAKE_CURRENT_LIST_DIR}/hex_load_bench.cpp)
target_link_libraries(hex_load_bench PRIVATE tamborvine_image)
add_test(NAME bench.hex_load COMMAND hex_load_bench)
set_tests_properties(bench.hex_load PROPERTIES LABELS bench TIMEOUT 300 SKIP_RETURN_CODE 77)
if(TAMBORVINE_SANITIZE)
  target_compile_definitions(hex_load_bench PRIVATE TAMBORVINE_BENCH_SANITIZED=1)
endif()
# For figures: cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release
#              ninja -C build/bench hex_load_bench && build/bench/bench/hex_load_bench
