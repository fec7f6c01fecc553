# Per-target settings shared by every target of the project (no global flags).
add_library(zel_defaults INTERFACE)
add_library(zel::defaults ALIAS zel_defaults)
target_compile_features(zel_defaults INTERFACE cxx_std_20)
target_compile_options(zel_defaults INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                              -Woverloaded-virtual)
if(ZEL_SANITIZE)
  target_compile_options(zel_defaults INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                -fno-sanitize-recover=undefined)
  target_link_options(zel_defaults INTERFACE -fsanitize=address,undefined)
  target_compile_definitions(zel_defaults INTERFACE ZEL_SANITIZE=1)
endif()

# zel_apply_defaults(target...): the project's warnings, language level and sanitizers.
function(zel_apply_defaults)
  foreach(t IN LISTS ARGN)
    target_link_libraries(${t} PRIVATE zel::defaults)
    set_target_properties(${t} PROPERTIES CXX_EXTENSIONS OFF)
  endforeach()
endfunction()

# zel_add_test(NAME SOURCES file... [LIBS target...] [DEFINES def...] [INCLUDES dir...]
#              [DEPENDS target...] [OUTPUT_DIR dir] [TIMEOUT seconds] [GL] [NO_MAIN])
# One GoogleTest executable of the suite, its tests discovered for CTest. GL: it draws with OpenGL
# (built only with ZEL_GL_TESTS; LeakSanitizer off in sanitizer builds, since Mesa's driver leaks a
# little per display out of reach of a suppression). OUTPUT_DIR keeps a test program out of bin/,
# where the package loader would find the real packages beside it. NO_MAIN: the sources bring main.
function(zel_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "GL;NO_MAIN" "OUTPUT_DIR;TIMEOUT"
                        "SOURCES;LIBS;DEFINES;INCLUDES;DEPENDS")
  if(arg_GL AND NOT ZEL_GL_TESTS)
    return()
  endif()
  add_executable(${name} ${arg_SOURCES})
  if(arg_NO_MAIN)
    target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest)
  else()
    target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main)
  endif()
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests/support" ${arg_INCLUDES})
  if(arg_DEFINES)
    target_compile_definitions(${name} PRIVATE ${arg_DEFINES})
  endif()
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  if(arg_OUTPUT_DIR)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${arg_OUTPUT_DIR}")
  endif()
  zel_apply_defaults(${name})
  set(properties)
  if(arg_TIMEOUT)
    list(APPEND properties TIMEOUT ${arg_TIMEOUT})
  endif()
  if(arg_GL AND ZEL_SANITIZE)
    list(APPEND properties ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
  endif()
  if(properties)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
