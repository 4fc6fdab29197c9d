# Benchmarks: executables that print figures; not registered with CTest.
add_executable(bench_media ${CMAKE_SOURCE_DIR}/bench/bench_media.cpp)
target_link_libraries(bench_media PRIVATE pitchwarden_core pitchwarden_media)
target_compile_definitions(bench_media PRIVATE PITCHWARDEN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

add_executable(bench_converter ${CMAKE_SOURCE_DIR}/bench/bench_converter.cpp)
target_link_libraries(bench_converter PRIVATE pitchwarden_core pitchwarden_media)
