# What the module needs to know about the interpreter it is built for.
find_program(PERL_EXECUTABLE perl REQUIRED)

function(perl_query out_var code)
    execute_process(
        COMMAND ${PERL_EXECUTABLE} -e "${code}"
        OUTPUT_VARIABLE value
        RESULT_VARIABLE status
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "perl could not answer: ${code}")
    endif()
    set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

# The interpreter's own compile flags: the module must agree with it on the
# layout of every structure it shares, or it breaks without a word.
perl_query(PERL_CCOPTS "use ExtUtils::Embed; ccopts")
separate_arguments(PERL_CCOPTS NATIVE_COMMAND "${PERL_CCOPTS}")

perl_query(PERL_DLEXT "use Config; print \$Config{dlext}")
perl_query(PERL_ARCHNAME "use Config; print \$Config{archname}")
perl_query(PERL_SITELIB "use Config; print \$Config{installsitelib}")
perl_query(PERL_SITEARCH "use Config; print \$Config{installsitearch}")

# An explicit install prefix gets the layout of MakeMaker's INSTALL_BASE;
# otherwise the files go where this interpreter looks for site modules.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(default_lib "${PERL_SITELIB}")
    set(default_arch "${PERL_SITEARCH}")
else()
    set(default_lib "lib/perl5")
    set(default_arch "lib/perl5/${PERL_ARCHNAME}")
endif()
set(PERL_INSTALL_LIB "${default_lib}" CACHE PATH "Where the .pm file is installed")
set(PERL_INSTALL_ARCH "${default_arch}" CACHE PATH "Where the shared object is installed")

# On Windows an extension links against the interpreter's import library
# (Perl56.lib for Perl 5.6); elsewhere the interpreter resolves its symbols.
if(WIN32)
    perl_query(PERL_LIBRARY "use Config; print \"\$Config{archlibexp}/CORE/\$Config{libperl}\"")
endif()
