# Common build settings and helpers for every subsystem.

# Warnings are errors everywhere; large-file interfaces on 32-bit targets.
add_compile_options(-Wall -Wextra -Werror)
add_compile_definitions(_FILE_OFFSET_BITS=64 _GNU_SOURCE)
include_directories(${PROJECT_SOURCE_DIR})

if(KS_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# The fuzz preset instruments every library and the boot core for coverage
# and the sanitizers, so that the fuzz targets are guided by the code under
# test; only the fuzz executables link libFuzzer's driver (fuzz/).
option(KS_FUZZ_INSTRUMENT "Instrument all code for libFuzzer, ASan and UBSan (clang)" OFF)
if(KS_FUZZ_INSTRUMENT)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# ks_library(NAME <target> OUTPUT <libname> SOURCES ... HEADERS ... LIBS ...)
# A shared library of the system with its headers installed under
# include/keepstone/<subsystem>.
function(ks_library)
  cmake_parse_arguments(A "" "NAME;OUTPUT" "SOURCES;HEADERS;LIBS" ${ARGN})
  add_library(${A_NAME} SHARED ${A_SOURCES})
  set_target_properties(${A_NAME} PROPERTIES OUTPUT_NAME ${A_OUTPUT}
                        VERSION ${PROJECT_VERSION} SOVERSION 0)
  target_include_directories(${A_NAME} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/keepstone>)
  if(A_LIBS)
    target_link_libraries(${A_NAME} PUBLIC ${A_LIBS})
  endif()
  install(TARGETS ${A_NAME} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  get_filename_component(sub ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  if(A_HEADERS)
    install(FILES ${A_HEADERS}
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keepstone/${sub})
  endif()
endfunction()

# ks_test(NAME <test> SOURCES ... LIBS ... [SANDBOX] [IMAGE <dir>])
# A GoogleTest program registered with ctest. Under cross-compilation
# ctest runs it through CMAKE_CROSSCOMPILING_EMULATOR (qemu-arm).
# SANDBOX runs it inside the simulated device (see sim/), with the
# optional device IMAGE directory.
function(ks_test)
  cmake_parse_arguments(A "SANDBOX" "NAME;IMAGE;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT KS_BUILD_TESTS)
    return()
  endif()
  add_executable(${A_NAME} ${A_SOURCES})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main
                        GTest::gmock)
  if(A_SANDBOX)
    ks_sandbox_test(${A_NAME} "${A_IMAGE}")
  else()
    add_test(NAME ${A_NAME} COMMAND ${A_NAME})
  endif()
  if(A_TIMEOUT)
    set_tests_properties(${A_NAME} PROPERTIES TIMEOUT ${A_TIMEOUT})
  else()
    set_tests_properties(${A_NAME} PROPERTIES TIMEOUT 600)
  endif()
endfunction()

# ks_sandbox_test comes with the simulator.
include(${CMAKE_CURRENT_LIST_DIR}/KeepstoneSim.cmake)
