# VORN_FUZZ: libFuzzer targets, clang only. Use it together with VORN_SANITIZE=address
# (AddressSanitizer and UndefinedBehaviorSanitizer everywhere): every library is then
# also instrumented for coverage (-fsanitize=fuzzer-no-link), and vorn_fuzz_target
# links libFuzzer's main into a fuzz program.
option(VORN_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(VORN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VORN_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  if(NOT VORN_SANITIZE STREQUAL "address")
    message(FATAL_ERROR "VORN_FUZZ needs -DVORN_SANITIZE=address")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# vorn_fuzz_target(NAME SOURCES...): a libFuzzer program.
function(vorn_fuzz_target name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
