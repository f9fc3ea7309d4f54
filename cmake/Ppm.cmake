# A binary package for PPM, as users of perl 5.6 on Windows installed
# extensions, since few of them had a compiler: a PPD in the format that
# that perl's `make ppd` writes, and the archive of blib/ that its CODEBASE
# names. `ppm install Win32-Varrokit-Varrokit9x.ppd` beside both installs it.
# Expects ${blib} and the module target.

set(ppm_name Win32-Varrokit-Varrokit9x)
set(ppm_archive "${ppm_name}.tar.gz")

# The version, abstract and author come from the .pm and its POD, as
# MakeMaker takes them (VERSION_FROM, ABSTRACT_FROM).
file(READ "${PROJECT_SOURCE_DIR}/lib/Win32/Varrokit/Varrokit9x.pm" pm_text)
string(REGEX MATCH "\\$VERSION *= *'([^']+)'" matched "${pm_text}")
set(ppm_version "${CMAKE_MATCH_1}")
string(REGEX MATCH "=head1 NAME\n\n[^ ]+ - ([^\n]+)" matched "${pm_text}")
set(ppm_abstract "${CMAKE_MATCH_1}")
string(REGEX MATCH "=head1 AUTHOR\n\n([^\n]+)\\.\n" matched "${pm_text}")
set(ppm_author "${CMAKE_MATCH_1}")
if(NOT ppm_version OR NOT ppm_abstract OR NOT ppm_author)
    message(FATAL_ERROR "The .pm has no VERSION, NAME line or AUTHOR for the PPD")
endif()
foreach(field ppm_abstract ppm_author)
    string(REPLACE "<" "&lt;" ${field} "${${field}}")
    string(REPLACE ">" "&gt;" ${field} "${${field}}")
endforeach()
# "0.01" becomes "0,01,0,0", as that MakeMaker writes it.
string(REPLACE "." ";" version_parts "${ppm_version}")
list(APPEND version_parts 0 0 0 0)
list(SUBLIST version_parts 0 4 version_parts)
list(JOIN version_parts "," ppm_version)

# PPM tells packages for 5.8 and later apart by a version suffix on the
# architecture, as their `make ppd` writes it: MSWin32-x86-multi-thread-5.8.
set(ppm_architecture "${PERL_ARCHNAME}")
if(PERL_VERSION VERSION_GREATER_EQUAL 5.8)
    string(SUBSTRING "${PERL_VERSION}" 0 3 perl_series)
    string(APPEND ppm_architecture "-${perl_series}")
endif()

# Perl's own modules are the only prerequisites, so there is no DEPENDENCY:
# PPM would look for them in the repository.
file(WRITE "${CMAKE_BINARY_DIR}/${ppm_name}.ppd" "\
<SOFTPKG NAME=\"${ppm_name}\" VERSION=\"${ppm_version}\">
    <TITLE>${ppm_name}</TITLE>
    <ABSTRACT>${ppm_abstract}</ABSTRACT>
    <AUTHOR>${ppm_author}</AUTHOR>
    <IMPLEMENTATION>
        <OS NAME=\"MSWin32\" />
        <ARCHITECTURE NAME=\"${ppm_architecture}\" />
        <CODEBASE HREF=\"${ppm_archive}\" />
    </IMPLEMENTATION>
</SOFTPKG>
")

add_custom_command(
    OUTPUT "${CMAKE_BINARY_DIR}/${ppm_archive}"
    # No pax headers, which the Archive::Tar of that time does not know.
    COMMAND ${CMAKE_COMMAND} -E tar czf "${ppm_archive}" --format=gnutar blib/lib blib/arch
    DEPENDS varrokit9x_module "${blib}/lib/${pm_file}"
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
    VERBATIM)
add_custom_target(ppm_package ALL DEPENDS "${CMAKE_BINARY_DIR}/${ppm_archive}")
