# The warning set of every target of the project, per compiler. QUARVO_WERROR makes them errors.
add_library(quarvo_warnings INTERFACE)
if(MSVC)
  # /permissive- for standard conformance; /utf-8 (added for every target in the top-level
  # CMakeLists.txt) so that the Chinese texts keep their bytes.
  target_compile_options(quarvo_warnings INTERFACE /W4 /permissive-
    $<$<BOOL:${QUARVO_WERROR}>:/WX>)
else()
  # GCC, MinGW-w64 and Clang.
  target_compile_options(quarvo_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Woverloaded-virtual -Wold-style-cast
    $<$<BOOL:${QUARVO_WERROR}>:-Werror>)
endif()
