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
