# The warnings of every zol target, errors in every configuration (g++ and
# clang on Linux, mingw-w64 g++). It also names the printf archetype that the
# log entry points are checked against: the mingw compiler's "printf" is the
# Microsoft one, which reads %ls its own way, and clang has no gnu_printf.
add_library(zol_warnings INTERFACE)
target_compile_options(zol_warnings INTERFACE -Wall -Wextra -Werror -Wshadow -Wformat=2)
if(WIN32)
  target_compile_definitions(zol_warnings INTERFACE ZOL_PRINTF_ARCHETYPE=gnu_printf)
else()
  target_compile_definitions(zol_warnings INTERFACE ZOL_PRINTF_ARCHETYPE=printf)
endif()

# The cross build's tests run in one Wine prefix, which the fixture
# wine_prefix makes and starts (tests/wine/wine_prefix.sh): ZOL_WINEPREFIX
# in the environment at configure time, else build/wineprefix.
if(CMAKE_CROSSCOMPILING)
  if(DEFINED ENV{ZOL_WINEPREFIX})
    set(ZOL_WINEPREFIX $ENV{ZOL_WINEPREFIX})
  else()
    set(ZOL_WINEPREFIX ${PROJECT_SOURCE_DIR}/build/wineprefix)
  endif()
  set(ZOL_WINE_ENV "WINEPREFIX=${ZOL_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
endif()

# Links the warnings into a target built outside the helpers below.
function(zol_warnings target)
  target_link_libraries(${target} PRIVATE zol_warnings)
endfunction()

# zol_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [LINUX_ONLY])
# One GoogleTest executable. On Linux every test case becomes a CTest test
# (discovered when the tests run); in the cross build the executable is one
# CTest test, run under Wine through the cross-compiling emulator.
# Labels: unit, integration, threads, e2e (slow end-to-end cases).
function(zol_add_test name)
  cmake_parse_arguments(T "LINUX_ONLY" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_LINUX_ONLY AND WIN32)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  zol_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gtest)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(CMAKE_CROSSCOMPILING)
    target_link_options(${name} PRIVATE -static)
    add_test(NAME ${name} COMMAND ${name})
    # Wine shows the host's root as drive Z:.
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS};wine" TIMEOUT 600
      ENVIRONMENT "ZOL_BIN_DIR=Z:${CMAKE_BINARY_DIR}/bin;${ZOL_WINE_ENV}" FIXTURES_REQUIRED wine_prefix)
  else()
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT 300
      ENVIRONMENT "ZOL_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
    # PROPERTIES flattens a list value (two labels would eat the properties
    # after them), so the labels are set once the tests are discovered.
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${labels_file}
      "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
  endif()
endfunction()

# A plug-in or provider library: no "lib" prefix, loaded by full path.
function(zol_plugin_library name)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "")
  zol_warnings(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  else()
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# A program of the system.
function(zol_program name)
  add_executable(${name} ${ARGN})
  zol_warnings(${name})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()

# A static library of common code, linked into programs and plug-ins.
function(zol_static_library name)
  add_library(${name} STATIC ${ARGN})
  zol_warnings(${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# zol_fuzz_target(<name> SOURCES ... [LIBS ...]): a libFuzzer executable
# fuzz_<name> in bin/, run by scripts/test for a fixed number of inputs.
function(zol_fuzz_target name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(fuzz_${name} ${F_SOURCES})
  zol_warnings(fuzz_${name})
  target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(fuzz_${name} PRIVATE ${F_LIBS})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz_all fuzz_${name})
endfunction()
