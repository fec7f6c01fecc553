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
