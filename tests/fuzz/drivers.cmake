# The fuzz drivers as a library: the fuzz programs and the replay tests of
# tests/fuzz_regress link the same code.
include_guard(GLOBAL)
file(GLOB fuzz_driver_sources CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/*_driver.cpp ${CMAKE_CURRENT_LIST_DIR}/gateway_rig.cpp)
add_library(fuzz_drivers STATIC ${fuzz_driver_sources})
hall_target(fuzz_drivers)
target_include_directories(fuzz_drivers PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(fuzz_drivers PUBLIC hall_gateway order_sync)
