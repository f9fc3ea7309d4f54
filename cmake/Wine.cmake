# Runs the Windows test programs and the Windows perl under Wine, through
# tools/wine.sh, which every tool shares: its prefix in the cache, its
# environment, its loader for this width.
set(wine_runner "${PROJECT_SOURCE_DIR}/tools/wine.sh" ${CMAKE_SYSTEM_PROCESSOR})

execute_process(COMMAND ${wine_runner} --can-run
                RESULT_VARIABLE status ERROR_VARIABLE why ERROR_STRIP_TRAILING_WHITESPACE)
if(status EQUAL 0)
    set(target_runs ON)
else()
    set(target_runs OFF)
    message(WARNING "${why}: the build is made and its files are checked, "
                    "but nothing of it runs here, under Wine or otherwise.")
endif()
option(VARROKIT_TARGET_RUNS "Wine runs this build's programs here (OFF: build, and check the files alone)"
       ${target_runs})

set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_runner} CACHE STRING "Runs Windows test programs")

# Wine's server and services, started apart from any test's output; tests
# under Wine require this fixture (tools/wine.sh --session says why).
function(varrokit_wine_session)
    if(NOT TEST wine_session)
        add_test(NAME wine_session COMMAND ${wine_runner} --session)
        set_tests_properties(wine_session PROPERTIES FIXTURES_SETUP wine)
    endif()
endfunction()
