# Warnings and sanitizers for the project's own targets.

# Sanitizer flags, for every target that links the sanitized library; for
# fuzzing, the coverage that guides libFuzzer too.
function(korvane_sanitize target)
  if(KORVANE_SANITIZE)
    target_compile_options(${target} PRIVATE
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    # Clang 14 cannot emit the function-type check's prologue data for the
    # parts a coroutine is split into ("Cannot represent a difference across
    # sections"); the check only concerns calls through function pointers.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      target_compile_options(${target} PRIVATE -fno-sanitize=function)
    endif()
  endif()
  if(KORVANE_BUILD_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

function(korvane_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wconversion -Wsign-conversion
    -Wdouble-promotion -Wimplicit-fallthrough)
  # GCC 12 reports -Wmismatched-new-delete on Asio's coroutine frames, whose
  # custom operator new/delete pair it cannot see through; AddressSanitizer
  # checks real mismatches in the sanitized build.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-mismatched-new-delete)
  endif()
  if(KORVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  korvane_sanitize(${target})
endfunction()
