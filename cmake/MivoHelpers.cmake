# SPDX-FileCopyrightText: 2026 The mivoproxy developers
# SPDX-License-Identifier: GPL-3.0-or-later

# What every target of the tree builds with, and the one way to add a test,
# benchmark or fuzz program.

# The tree's root as the include directory (headers are named from it, as
# "common/gbk.h") and the warnings, for every target: libraries link it
# PUBLIC, programs PRIVATE.
add_library(mivo_defaults INTERFACE)
target_include_directories(mivo_defaults INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(mivo_defaults INTERFACE -Wall -Wextra -Wpedantic)

include(GoogleTest)

# mivo_add_program(KIND NAME source... [LIBS lib...])
#   TEST   a GoogleTest program (tests/support's main); each case is its own
#          ctest test, run offscreen
#   BENCH  a Google Benchmark program (bench/support's main, which prints the
#          ratios its benchmarks ask for)
#   FUZZ   a libFuzzer target (clang, MIVO_FUZZ=ON)
function(mivo_add_program kind name)
  cmake_parse_arguments(P "" "" "LIBS" ${ARGN})
  add_executable(${name} ${P_UNPARSED_ARGUMENTS})
  if(kind STREQUAL "TEST")
    target_link_libraries(${name} PRIVATE mivo_defaults test_support ${P_LIBS})
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      NO_PRETTY_VALUES  # names by index: values print as raw bytes
      PROPERTIES ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 120)
  elseif(kind STREQUAL "BENCH")
    target_link_libraries(${name} PRIVATE mivo_defaults bench_support ${P_LIBS})
  elseif(kind STREQUAL "FUZZ")
    target_link_libraries(${name} PRIVATE mivo_defaults ${P_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    message(FATAL_ERROR "mivo_add_program: unknown kind ${kind} for ${name}")
  endif()
endfunction()
