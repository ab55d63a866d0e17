# What tests and benchmarks share: the pty board, the sequencer and JACK peers, the process
# runner, a fresh folder per test. Headers under tests/, included as "serial/pty.h" etc.
include_guard(GLOBAL)
add_library(tessaryn_testsupport INTERFACE)
target_include_directories(tessaryn_testsupport INTERFACE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tessaryn_testsupport INTERFACE Threads::Threads)
