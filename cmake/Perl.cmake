# The target interpreter: the perl the module is built for and tested with.
# It is an input, never assumed:
#   -DPERL_EXECUTABLE=/path/to/perl     any perl: the host's, an old one, or,
#                                        in a cross build, a Windows perl.exe
#                                        (asked under the emulator, Wine)
#   -DVARROKIT_FETCH_PERL=windows-x86   a perl of the table of perls that
#                                        tools/perl-cache.sh fetches or builds
#                                        once (presets)
# Without either, the perl on PATH. Every setting below is the target's own.
# The host perl (PERL_HOST_EXECUTABLE) only generates ppport.h and runs prove.

find_program(PERL_HOST_EXECUTABLE perl REQUIRED NO_CMAKE_FIND_ROOT_PATH)

# Runs tools/perl-cache.sh with the words of what (say "perl windows-x86"):
# sets the variable named by found to what it prints, or to "" and why to
# the reason where it cannot be had here. A build that failed is an error.
function(varrokit_perl_cache what found why)
    separate_arguments(words UNIX_COMMAND "${what}")
    execute_process(
        COMMAND "${PROJECT_SOURCE_DIR}/tools/perl-cache.sh" ${words}
        OUTPUT_VARIABLE output ERROR_VARIABLE reason RESULT_VARIABLE status
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(status EQUAL 1)
        message(FATAL_ERROR "tools/perl-cache.sh ${what} failed: ${reason}")
    elseif(NOT status EQUAL 0)
        set(output "")
    endif()
    set(${found} "${output}" PARENT_SCOPE)
    set(${why} "${reason}" PARENT_SCOPE)
endfunction()

if(NOT PERL_EXECUTABLE AND VARROKIT_FETCH_PERL)
    varrokit_perl_cache("perl ${VARROKIT_FETCH_PERL}" fetched why)
    if(NOT fetched)
        message(FATAL_ERROR "No perl (${VARROKIT_FETCH_PERL}) to build the module for: ${why}"
                "Configure with -DVARROKIT_BUILD_MODULE=OFF to build the lookup alone.")
    endif()
    set(PERL_EXECUTABLE "${fetched}" CACHE FILEPATH "The perl the module is built for")
endif()
if(CMAKE_CROSSCOMPILING)
    if(NOT PERL_EXECUTABLE)
        message(FATAL_ERROR "A cross build needs the target's perl: set PERL_EXECUTABLE "
                            "or VARROKIT_FETCH_PERL")
    endif()
    set(perl_command ${CMAKE_CROSSCOMPILING_EMULATOR} "${PERL_EXECUTABLE}")
else()
    find_program(PERL_EXECUTABLE perl REQUIRED)
    set(perl_command "${PERL_EXECUTABLE}")
endif()

# One start of the target perl answers every question: Wine takes seconds.
set(config_keys version archname dlext ccflags libperl archlibexp installsitelib installsitearch)
if(CMAKE_CROSSCOMPILING AND NOT VARROKIT_TARGET_RUNS)
    # A perl that cannot run here is asked nothing: its Config files say how
    # it was built. Test::More is then of no concern, as no test runs it.
    execute_process(
        COMMAND ${PERL_HOST_EXECUTABLE} "${PROJECT_SOURCE_DIR}/cmake/perl_config_files.pl"
                "${PERL_EXECUTABLE}" ${config_keys}
        OUTPUT_VARIABLE answers RESULT_VARIABLE status)
    set(PERL_TEST_MORE 1)
else()
    set(perl_query [[
print map { qq{$_=$Config{$_}\n} } @ARGV;
print qq{test_more=}, (eval { require Test::More; Test::More->VERSION(0.98) } ? 1 : 0), qq{\n};
]])
    string(REPLACE "\n" " " perl_query "${perl_query}")
    execute_process(
        COMMAND ${perl_command} -MConfig -e "${perl_query}" ${config_keys}
        OUTPUT_VARIABLE answers RESULT_VARIABLE status)
endif()
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PERL_EXECUTABLE} could not say how it was built")
endif()
string(REPLACE "\r" "" answers "${answers}")
string(REGEX REPLACE "\n$" "" answers "${answers}")
string(REPLACE ";" "\\;" answers "${answers}")
string(REPLACE "\n" ";" answers "${answers}")
foreach(answer IN LISTS answers)
    string(REGEX MATCH "^([a-z_]+)=(.*)$" matched "${answer}")
    string(TOUPPER "${CMAKE_MATCH_1}" key)
    set(PERL_${key} "${CMAKE_MATCH_2}")
endforeach()
message(STATUS "Building the module for perl ${PERL_VERSION} (${PERL_ARCHNAME}): ${PERL_EXECUTABLE}")

# The interpreter's own compile flags: the module must agree with it on the
# layout of every structure it shares, or it breaks without a word.
# The module's own filter of them, which Makefile.PL shares.
execute_process(
    COMMAND ${PERL_HOST_EXECUTABLE} "${PROJECT_SOURCE_DIR}/module/ccflags.pl" "${PERL_CCFLAGS}"
    OUTPUT_VARIABLE PERL_CCFLAGS OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(PERL_CCFLAGS UNIX_COMMAND "${PERL_CCFLAGS}")

# Its headers. A trimmed runtime may ship none; then the headers of the same
# release, kept with the test equipment, stand in.
if(NOT PERL_CORE_DIR)
    set(core_dir "${PERL_ARCHLIBEXP}/CORE")
    if(CMAKE_CROSSCOMPILING)
        # archlibexp is a Windows path there. A perl laid out as the binary
        # distributions were has its lib/ beside bin/.
        get_filename_component(perl_bin_dir "${PERL_EXECUTABLE}" DIRECTORY)
        set(core_dir "${perl_bin_dir}/../lib/CORE")
    endif()
    if(NOT EXISTS "${core_dir}/perl.h")
        varrokit_perl_cache("windows-headers ${PERL_VERSION}" core_dir why)
    endif()
    if(NOT EXISTS "${core_dir}/perl.h")
        message(FATAL_ERROR "No headers for perl ${PERL_VERSION}: set PERL_CORE_DIR. ${why}")
    endif()
    set(PERL_CORE_DIR "${core_dir}" CACHE PATH "The perl headers (perl.h) of the target perl")
endif()

# Where `cmake --install` puts the module: under an install prefix, given
# when configuring or to `cmake --install --prefix`, in the layout of
# MakeMaker's INSTALL_BASE; without one, in this interpreter's site
# directories. PERL_INSTALL_LIB and PERL_INSTALL_ARCH, when set, win.
if(NOT DEFINED CACHE{VARROKIT_PREFIX_GIVEN})
    if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
        set(prefix_given OFF)
    else()
        set(prefix_given ON)
    endif()
    set(VARROKIT_PREFIX_GIVEN ${prefix_given} CACHE INTERNAL "")
endif()
set(PERL_INSTALL_LIB "" CACHE PATH "Where the .pm file is installed (default: see above)")
set(PERL_INSTALL_ARCH "" CACHE PATH "Where the shared object is installed (default: see above)")

# Test::More 0.98 goes first on @INC where the perl's own is older or missing.
set(PERL_TEST_INC "")
if(NOT PERL_TEST_MORE)
    varrokit_perl_cache(test-more PERL_TEST_INC why)
    if(NOT PERL_TEST_INC)
        message(WARNING "perl ${PERL_VERSION} lacks Test::More 0.98 and none can be had: ${why}")
    endif()
endif()

# On Windows an extension links against the interpreter's own library. A
# trimmed runtime has no import library (libperlNNN.a) in its CORE; GNU ld
# then links against perlNNN.dll, which sits beside perl.exe.
if(WIN32)
    set(perl_library "${PERL_CORE_DIR}/${PERL_LIBPERL}")
    if(NOT EXISTS "${perl_library}")
        string(REGEX REPLACE "^lib(.*)\\.a$" "\\1.dll" perl_dll "${PERL_LIBPERL}")
        get_filename_component(perl_bin_dir "${PERL_EXECUTABLE}" DIRECTORY)
        set(perl_library "${perl_bin_dir}/${perl_dll}")
    endif()
    set(PERL_LIBRARY "${perl_library}" CACHE FILEPATH "The perl library to link against")
endif()
