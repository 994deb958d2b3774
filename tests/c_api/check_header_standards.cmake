# Compiles header_standards.c with each compiler of COMPILERS (a list of
# "c:<path>" and "cxx:<path>") in every language version the public header
# promises (C99 and C11; C++11 and C++17), with -Wall -Wextra -pedantic
# -Werror, and again with a false layout check, which must not compile.
# Each C++ compiler also compiles CXX_SOURCE, which uses the C++ header, as
# C++17, C++20 and C++17 without exceptions, and again with a literal name
# of 16 characters, which must not compile.
# Fails on the first compiler and standard that does not behave; names the
# compilers of MISSING (not installed) last, which ctest reports as skipped.
set(c_standards c99 c11)
set(cxx_standards c++11 c++17)
set(flags -Wall -Wextra -pedantic -Werror -I${HEADER_DIR} -c -o /dev/null)
set(checked 0)
foreach(entry IN LISTS COMPILERS)
    string(REGEX MATCH "^(c|cxx):(.+)$" matched "${entry}")
    set(lang ${CMAKE_MATCH_1})
    set(compiler ${CMAKE_MATCH_2})
    string(REPLACE "xx" "++" language ${lang}) # the -x name: c or c++
    foreach(std IN LISTS ${lang}_standards)
        execute_process(COMMAND ${compiler} -std=${std} ${flags} -x ${language} ${SOURCE}
            RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "${compiler} -std=${std}: the header does not compile cleanly\n${out}")
        endif()
        execute_process(COMMAND ${compiler} -std=${std} ${flags} -DOS_MSG_EXPECT_LAYOUT_FAILURE
                                -x ${language} ${SOURCE}
            RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
        if(rc EQUAL 0)
            message(FATAL_ERROR "${compiler} -std=${std}: a false layout check compiled")
        elseif(NOT out MATCHES "this check must fail|OsMsgLayoutCheck")
            message(FATAL_ERROR "${compiler} -std=${std}: failed for another reason than the layout check\n${out}")
        endif()
        math(EXPR checked "${checked} + 1")
    endforeach()
    if(NOT lang STREQUAL "cxx")
        continue()
    endif()
    foreach(variant "-std=c++17" "-std=c++20" "-std=c++17;-fno-exceptions")
        execute_process(COMMAND ${compiler} ${variant} ${flags} -x c++ ${CXX_SOURCE}
            RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "${compiler} ${variant}: the C++ header does not compile cleanly\n${out}")
        endif()
        math(EXPR checked "${checked} + 1")
    endforeach()
    execute_process(COMMAND ${compiler} -std=c++17 ${flags} -DOS_MSG_EXPECT_CPP_NAME_FAILURE -x c++ ${CXX_SOURCE}
        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(rc EQUAL 0 OR NOT out MATCHES "at most 15 characters")
        message(FATAL_ERROR "${compiler}: a literal name of 16 characters was not refused as such\n${out}")
    endif()
endforeach()
message(STATUS "${checked} compiler and standard combinations checked")
if(MISSING)
    message(STATUS "not installed: ${MISSING} (make deps-clang installs clang)")
endif()
