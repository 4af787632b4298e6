# The simulated target's wire pacing at 1,000,000 baud over a whole 60 KiB
# download: run by hand (ninja bench_sim_pacing); it prints figures.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_custom_target(bench_sim_pacing
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/sim_pacing.py $<TARGET_FILE:tamborvine-sim>
  DEPENDS tamborvine-sim
  USES_TERMINAL)
