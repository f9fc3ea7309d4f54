# Runs the Windows test programs and the Windows perl under Wine, with Wine's
# own debug output off. No Mono or Gecko: the tests need neither, and a
# prompt to install them would hang a headless run. The Wine prefix is kept
# in the cache beside the perls, outside the source tree: its drive links
# (z: is /) would send any walk of the tree through the whole file system.
if(DEFINED ENV{VARROKIT_CACHE})
    set(wine_cache "$ENV{VARROKIT_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(wine_cache "$ENV{XDG_CACHE_HOME}/varrokit9x")
else()
    set(wine_cache "$ENV{HOME}/.cache/varrokit9x")
endif()
set(VARROKIT_WINEPREFIX "${wine_cache}/wineprefix-${CMAKE_SYSTEM_PROCESSOR}"
    CACHE PATH "The Wine prefix the tests run in")
# Wine makes the prefix, but not the folders above it, which an empty cache
# lacks when no perl was fetched into it.
get_filename_component(wine_prefix_parent "${VARROKIT_WINEPREFIX}" DIRECTORY)
file(MAKE_DIRECTORY "${wine_prefix_parent}")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # Debian's `wine` starts the 32-bit loader whenever wine32 is installed,
    # and that fails for every program on a host with no 32-bit mode. The
    # 64-bit loader runs 64-bit programs on any host.
    find_program(WINE_EXECUTABLE wine64 PATHS /usr/lib/wine /usr/lib64/wine REQUIRED)
    set(wine_loader "WINELOADER=${WINE_EXECUTABLE}")
    set(target_runs ON)
else()
    find_program(WINE_EXECUTABLE wine REQUIRED)
    set(wine_loader "")
    execute_process(COMMAND "${PROJECT_SOURCE_DIR}/tools/runs-32bit.sh"
                    RESULT_VARIABLE status ERROR_VARIABLE why ERROR_STRIP_TRAILING_WHITESPACE)
    if(status EQUAL 0)
        set(target_runs ON)
    else()
        set(target_runs OFF)
        message(WARNING "${why}: the 32-bit build is made and its files are checked, "
                        "but nothing of it runs here, under Wine or otherwise.")
    endif()
endif()
option(VARROKIT_TARGET_RUNS "Wine runs this build's programs here (OFF: build, and check the files alone)"
       ${target_runs})

# Perl 5.40 warns at every start where LANG names a locale that Windows
# lacks, such as Linux's C.UTF-8, which Wine hands on; PERL_BADLANG=0 stills
# it. (LC_ALL=C would too, but would leave Wine no character set for file
# names beyond ASCII.)
set(CMAKE_CROSSCOMPILING_EMULATOR
    env "WINEPREFIX=${VARROKIT_WINEPREFIX}" ${wine_loader} WINEDEBUG=-all PERL_BADLANG=0
    "WINEDLLOVERRIDES=mscoree,mshtml=" ${WINE_EXECUTABLE}
    CACHE STRING "Runs Windows test programs")

# The first program run in a prefix starts Wine's server and services with
# its own standard handles, and they stay for seconds after the last
# program ends: whoever reads that program's output (CTest, prove) waits for
# them, three seconds a test, where the test itself takes a tenth. The
# fixture starts them first, reading and writing nothing, and keeps them a
# minute past the last program; tests under Wine require it.
find_program(WINESERVER_EXECUTABLE wineserver PATHS /usr/lib/wine /usr/lib64/wine)
function(varrokit_wine_session)
    if(NOT WINESERVER_EXECUTABLE OR TEST wine_session)
        return()
    endif()
    add_test(NAME wine_session
        COMMAND sh -c "\"$1\" -p60 </dev/null >/dev/null 2>&1; shift; \"$@\" cmd /c exit </dev/null >/dev/null 2>&1"
                sh "${WINESERVER_EXECUTABLE}" ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(wine_session PROPERTIES
        FIXTURES_SETUP wine ENVIRONMENT "WINEPREFIX=${VARROKIT_WINEPREFIX}")
endfunction()
