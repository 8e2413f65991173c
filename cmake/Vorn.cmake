# vorn_module(NAME DEPS...): a static library from every .cpp in the folder,
# with the folder's parent (Core/ or App/) on the include path.
function(vorn_module name)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${_src})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/Core ${PROJECT_SOURCE_DIR}/App)
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

# vorn_module_tests(MODULE [TSAN_ALL] [EXTRA_LIBS...]): one GoogleTest binary from tests/*.cpp.
# Every test is registered on its own (label "unit"). With TSAN_ALL every test of the
# module also carries the label "tsan" and the ThreadSanitizer build runs all of them;
# otherwise the tests whose suite or name contains "Threaded" run once more together
# under the label "threaded", which the ThreadSanitizer build runs.
function(vorn_module_tests module)
  set(_libs ${ARGN})
  set(_tsan_all OFF)
  if("TSAN_ALL" IN_LIST _libs)
    list(REMOVE_ITEM _libs TSAN_ALL)
    set(_tsan_all ON)
  endif()
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(NOT _tests)
    return()
  endif()
  set(_bin ${module}_tests)
  add_executable(${_bin} ${_tests})
  target_link_libraries(${_bin} PRIVATE ${module} ${_libs} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${_bin} PRIVATE VORN_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests")
  if(_tsan_all)
    gtest_discover_tests(${_bin} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "unit;tsan" TIMEOUT 600)
  else()
    gtest_discover_tests(${_bin} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit TIMEOUT 300)
    add_test(NAME ${module}.threaded COMMAND ${_bin} --gtest_filter=*Threaded*)
    set_tests_properties(${module}.threaded PROPERTIES LABELS threaded TIMEOUT 600)
  endif()
endfunction()

# vorn_module_bench(MODULE): one Google Benchmark program from bench/*.cpp.
function(vorn_module_bench module)
  if(NOT VORN_BENCHMARKS)
    return()
  endif()
  file(GLOB _bench CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/bench/*.cpp)
  if(NOT _bench)
    return()
  endif()
  add_executable(${module}_bench ${_bench})
  target_link_libraries(${module}_bench PRIVATE ${module} benchmark::benchmark Threads::Threads)
endfunction()
