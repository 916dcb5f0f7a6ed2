# Shared build settings and the helpers every folder uses.
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
if(VARNELLE_BENCH)
  find_package(benchmark REQUIRED)
endif()

include_directories(${PROJECT_SOURCE_DIR})

add_compile_options(-Wall -Wextra -Wno-missing-field-initializers)
if(VARNELLE_WERROR)
  add_compile_options(-Werror)
endif()
if(VARNELLE_SANITIZE)
  add_compile_options(-fsanitize=${VARNELLE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${VARNELLE_SANITIZE})
endif()

# Adds every direct subfolder that has a CMakeLists.txt, so folders never list their children by hand.
function(varnelle_add_subdirs)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# varnelle_test(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# A GoogleTest program registered with CTest. Unit tests carry the label "unit"; process-level tests
# pass LABELS process. Tests labelled "notsan" are left out of the ThreadSanitizer run.
function(varnelle_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()

# varnelle_bench(name SOURCES ... LIBS ...): a Google Benchmark program (not a CTest test).
function(varnelle_bench name)
  if(NOT VARNELLE_BENCH)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
endfunction()

# Fuzzing: with VARNELLE_FUZZ (clang) every object is built for libFuzzer with ASan and UBSan and each
# varnelle_fuzz target gets libFuzzer's driver; scripts/fuzz runs them. Without it a target links a
# replay driver that runs its seed corpus once, as a unit test, so the seeds keep building and passing.
option(VARNELLE_FUZZ "Build the libFuzzer targets with clang, ASan and UBSan" OFF)
if(VARNELLE_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
add_custom_target(fuzzers)
add_library(varnelle_fuzz_replay STATIC EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/fuzz_replay_main.cpp)

# varnelle_fuzz(name SOURCES ... LIBS ... CORPUS dir [RUNS n])
# SOURCES define LLVMFuzzerTestOneInput (and may define LLVMFuzzerInitialize). CORPUS is the seed
# folder in the source tree, relative to the calling folder. RUNS caps the inputs scripts/fuzz gives a
# target whose every input is costly (a whole decoder set up per stream), so CI keeps its time.
function(varnelle_fuzz name)
  cmake_parse_arguments(F "" "CORPUS;RUNS" "SOURCES;LIBS" ${ARGN})
  get_filename_component(corpus ${F_CORPUS} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS} Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz)
  add_dependencies(fuzzers ${name})
  file(WRITE ${PROJECT_BINARY_DIR}/fuzz/${name}.corpus "${corpus}\n")
  if(F_RUNS)
    file(WRITE ${PROJECT_BINARY_DIR}/fuzz/${name}.runs "${F_RUNS}\n")
  else()
    file(REMOVE ${PROJECT_BINARY_DIR}/fuzz/${name}.runs)
  endif()
  if(VARNELLE_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_link_libraries(${name} PRIVATE varnelle_fuzz_replay)
    add_test(NAME ${name}_seeds COMMAND ${name} ${corpus})
    set_tests_properties(${name}_seeds PROPERTIES LABELS unit TIMEOUT 300)
  endif()
endfunction()
