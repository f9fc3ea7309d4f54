# Cross build for Windows with Debian's mingw-w64 toolchain. Set
# VARROKIT_MINGW_ARCH to i686 (32-bit) or x86_64 (64-bit), and
# VARROKIT_MINGW_CRT to msvcrt (the default) or ucrt: the C runtime of the
# target perl, which the module must share.
if(NOT VARROKIT_MINGW_ARCH)
    set(VARROKIT_MINGW_ARCH i686)
endif()
if(NOT VARROKIT_MINGW_CRT)
    set(VARROKIT_MINGW_CRT msvcrt)
endif()
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VARROKIT_MINGW_ARCH VARROKIT_MINGW_CRT)
set(triplet ${VARROKIT_MINGW_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VARROKIT_MINGW_ARCH})
# The posix thread model: GoogleTest needs std::mutex.
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A static runtime lets the test programs run under Wine without extra DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Debian's compilers build for msvcrt; a specs file makes them build for the
# UCRT (tools/perl-cache.sh ucrt-specs).
if(VARROKIT_MINGW_CRT STREQUAL "ucrt")
    foreach(language C CXX)
        execute_process(
            COMMAND "${CMAKE_CURRENT_LIST_DIR}/../tools/perl-cache.sh" ucrt-specs "${CMAKE_${language}_COMPILER}"
            OUTPUT_VARIABLE specs ERROR_VARIABLE why RESULT_VARIABLE status
            OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "No UCRT specs for ${CMAKE_${language}_COMPILER}: ${why}")
        endif()
        # The flags reach the compiler and every link.
        set(CMAKE_${language}_FLAGS_INIT "-specs=${specs}")
    endforeach()
elseif(NOT VARROKIT_MINGW_CRT STREQUAL "msvcrt")
    message(FATAL_ERROR "VARROKIT_MINGW_CRT is msvcrt or ucrt, not ${VARROKIT_MINGW_CRT}")
endif()
