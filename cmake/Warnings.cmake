# Common warning set for every target of the project.
add_library(quarvo_warnings INTERFACE)
target_compile_options(quarvo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Woverloaded-virtual -Wold-style-cast
  $<$<BOOL:${QUARVO_WERROR}>:-Werror>)
