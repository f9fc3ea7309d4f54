# Runs the Windows test programs under Wine, in a private prefix inside the
# build tree, with Wine's own debug output off. No Mono or Gecko: the tests
# need neither, and a prompt to install them would hang a headless run.
find_program(WINE_EXECUTABLE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    env "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=" ${WINE_EXECUTABLE}
    CACHE STRING "Runs Windows test programs")
