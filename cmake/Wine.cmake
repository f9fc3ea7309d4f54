# Runs the Windows test programs and the Windows perl under Wine, with Wine's
# own debug output off. No Mono or Gecko: the tests need neither, and a
# prompt to install them would hang a headless run. The Wine prefix is kept
# in the cache beside the perls, outside the source tree: its drive links
# (z: is /) would send any walk of the tree through the whole file system.
find_program(WINE_EXECUTABLE wine REQUIRED)
if(DEFINED ENV{VARROKIT_CACHE})
    set(wine_cache "$ENV{VARROKIT_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(wine_cache "$ENV{XDG_CACHE_HOME}/varrokit9x")
else()
    set(wine_cache "$ENV{HOME}/.cache/varrokit9x")
endif()
set(VARROKIT_WINEPREFIX "${wine_cache}/wineprefix-${CMAKE_SYSTEM_PROCESSOR}"
    CACHE PATH "The Wine prefix the tests run in")
set(CMAKE_CROSSCOMPILING_EMULATOR
    env "WINEPREFIX=${VARROKIT_WINEPREFIX}" WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=" ${WINE_EXECUTABLE}
    CACHE STRING "Runs Windows test programs")
