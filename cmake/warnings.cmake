# One INTERFACE target that carries the project's warning flags.
add_library(qz_warnings INTERFACE)
add_library(qz::warnings ALIAS qz_warnings)
target_compile_options(qz_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Woverloaded-virtual -Wold-style-cast -Wcast-align
  $<$<NOT:$<BOOL:$<TARGET_PROPERTY:QZ_NO_NULL_DEREFERENCE_WARNING>>>:-Wnull-dereference>
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(QZ_WARNINGS_AS_ERRORS)
  target_compile_options(qz_warnings INTERFACE -Werror)
endif()
