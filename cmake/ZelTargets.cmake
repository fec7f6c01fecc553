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
# little per display out of reach of a suppression). XDG_CACHE_HOME points into the build folder.
# OUTPUT_DIR keeps a test program out of bin/, where the package loader would find the real
# packages beside it. NO_MAIN: the sources bring main.
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
  # Every zelhost a test starts keeps its imports in the build folder, never in the user's cache.
  list(APPEND properties ENVIRONMENT_MODIFICATION
       "XDG_CACHE_HOME=set:${CMAKE_BINARY_DIR}/test-cache")
  if(arg_GL AND ZEL_SANITIZE)
    list(APPEND properties ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

# glm::glm. GLM is header-only; Debian's CMake package of it lies outside a cross build's search
# root, so there the headers are taken from the host's copy, through a folder that holds nothing
# else (the host's /usr/include itself must not reach a cross compiler).
function(zel_find_glm)
  if(TARGET glm::glm)
    return()
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(glm REQUIRED GLOBAL)
    return()
  endif()
  find_path(ZEL_GLM_INCLUDE_DIR glm/glm.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ZEL_GLM_INCLUDE_DIR)
    message(FATAL_ERROR "GLM headers not found (Debian: libglm-dev); set ZEL_GLM_INCLUDE_DIR")
  endif()
  set(dir "${CMAKE_BINARY_DIR}/glm-include")
  file(MAKE_DIRECTORY "${dir}")
  file(CREATE_LINK "${ZEL_GLM_INCLUDE_DIR}/glm" "${dir}/glm" SYMBOLIC)
  add_library(glm::glm INTERFACE IMPORTED GLOBAL)
  target_include_directories(glm::glm SYSTEM INTERFACE "${dir}")
endfunction()

# GTest::gtest_main. A cross build compiles GoogleTest from its source (Debian: googletest, in
# /usr/src/googletest) with the cross compiler.
set(ZEL_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest source, for cross builds")
function(zel_find_gtest)
  if(TARGET GTest::gtest_main)
    return()
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED GLOBAL)
    return()
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory("${ZEL_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  # GoogleTest 1.11 and later name their targets GTest::... themselves.
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gtest ALIAS gtest)
  endif()
endfunction()

# Windows: every module of the framework shares one C++ runtime (their standard-library objects and
# console streams cross module boundaries), so the MinGW runtime DLLs go beside the binaries.
function(zel_copy_mingw_runtime destination)
  foreach(dll IN ITEMS libstdc++-6.dll libgcc_s_dw2-1.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
                    OUTPUT_VARIABLE file OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${file}" AND EXISTS "${file}")
      file(COPY "${file}" DESTINATION "${destination}")
    endif()
  endforeach()
endfunction()
