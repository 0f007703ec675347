# Flags every target of the project builds with.
#
# Results are compared bit for bit, so the compiler may neither contract a
# multiply and an add into one rounding nor reassociate: -ffp-contract=off,
# and never -ffast-math.
add_library(quillet_flags INTERFACE)
target_compile_options(quillet_flags INTERFACE -ffp-contract=off -fno-fast-math -Wall -Wextra
                                               -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(QUILLET_WERROR)
  target_compile_options(quillet_flags INTERFACE -Werror)
endif()

# One switch for sanitizer builds: applies to every target, tests included.
if(QUILLET_SANITIZE)
  add_compile_options(-fsanitize=${QUILLET_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
  add_link_options(-fsanitize=${QUILLET_SANITIZE})
endif()

# The lanes' instruction sets this build has (QUILLET_LANE_SETS), for a
# target that dispatches to them or compares them: QUILLET_LANES_AVX2 and
# QUILLET_LANES_AVX512, each 1 or 0.
function(quillet_lane_set_definitions target scope)
  foreach(set avx2 avx512)
    string(TOUPPER ${set} upper)
    if(set IN_LIST QUILLET_LANE_SETS)
      target_compile_definitions(${target} ${scope} QUILLET_LANES_${upper}=1)
    else()
      target_compile_definitions(${target} ${scope} QUILLET_LANES_${upper}=0)
    endif()
  endforeach()
endfunction()
