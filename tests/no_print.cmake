# Fails when the built library refers to a function or object that writes to
# the terminal or ends the process. Only the command-line tool may print; the
# library logs through the host's loggers and reports failures by exceptions.
#
# cmake -DNM=<nm> -DLIBRARY=<library file> [-DASSERTIONS=ON] -P no_print.cmake
#
# The names are the library's undefined symbols (what it calls in other
# libraries), mangled. What is forbidden and why:
# - printf, vprintf, puts, putchar, perror and the fortified forms: they
#   write to the standard streams by themselves;
# - stdout, stderr (C) and std::cout, std::cerr, std::clog and their wide
#   forms (C++): every other way of writing to the terminal names one of
#   them (fprintf(stderr, ...), fwrite(..., stdout), fmt::print(stderr, ...),
#   a console log sink);
# - fmt's vprint: fmt::print to standard output;
# - abort, exit, quick_exit, _Exit, __assert_fail: they end the host's
#   process (__assert_fail is allowed with ASSERTIONS=ON, a build without
#   NDEBUG, where Boost's headers keep their assertions).
# Allowed although they look alike: snprintf and friends (formatting into a
# buffer), write(2) (the browser's pipe, output files), std::terminate (the
# compiler's own call when an exception leaves a noexcept function), and
# _exit, which only the forked browser child calls when it cannot start
# Chromium (the one call a child may make after fork() without touching the
# parent's buffers).
cmake_minimum_required(VERSION 3.25)

set(forbidden
  "printf" "vprintf" "puts" "putchar" "perror" "__printf_chk" "__vprintf_chk"
  "stdout" "stderr"
  "_ZSt4cout" "_ZSt4cerr" "_ZSt4clog" "_ZSt5wcout" "_ZSt5wcerr" "_ZSt5wclog"
  "abort" "exit" "quick_exit" "_Exit" "__assert_fail")
if(ASSERTIONS)
  list(REMOVE_ITEM forbidden "__assert_fail")
endif()
# fmt::vN::vprint(...), any inline version namespace.
set(forbidden_pattern "^_ZN3fmt2v[0-9]+6vprintE")

if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "no library at ${LIBRARY}")
endif()
execute_process(COMMAND "${NM}" -A -P --undefined-only "${LIBRARY}"
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")

set(found "")
set(undefined 0)
foreach(line IN LISTS lines)
  # "<archive>[<member>]: <symbol> U ..."
  if(NOT line MATCHES "^(.*): ([^ ]+) [Uw] *")
    continue()
  endif()
  set(member "${CMAKE_MATCH_1}")
  set(symbol "${CMAKE_MATCH_2}")
  math(EXPR undefined "${undefined} + 1")
  # A versioned name ("printf@GLIBC_2.2.5") is the same function.
  string(REGEX REPLACE "@.*$" "" symbol "${symbol}")
  if(symbol IN_LIST forbidden OR symbol MATCHES "${forbidden_pattern}")
    list(APPEND found "${member}: ${symbol}")
  endif()
endforeach()

if(undefined EQUAL 0)
  message(FATAL_ERROR "${NM} listed no undefined symbol in ${LIBRARY}: nothing was checked")
endif()
if(found)
  list(REMOVE_DUPLICATES found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "the library refers to functions that print or end the process:\n  ${text}")
endif()
message(STATUS "${undefined} undefined symbols, none that prints or ends the process")
