# dovrin_warnings(<target>): the project's warning set, fatal when DOVRIN_WERROR is on.
function(dovrin_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wformat=2
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual>
    $<$<BOOL:${DOVRIN_WERROR}>:-Werror>)
endfunction()
