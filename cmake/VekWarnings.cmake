# Warnings are on and fatal for every target of the project, in every preset.
function(vek_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Werror
    -Wshadow -Wconversion -Wsign-conversion -Wcast-align -Wnon-virtual-dtor
    -Wold-style-cast -Wnull-dereference -Wdouble-promotion -Wformat=2)
endfunction()
