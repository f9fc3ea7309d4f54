// The boundary with the Perl interpreter: the bootstrap entry with its version
// handshake, and the entry routine of MatchWin9xPid.
//
// croak() leaves by longjmp, so it is only ever called while no C++ object
// with a destructor is alive in these routines.

// The standard headers come before perl.h, whose macros clash with them.
#include <cstdint>
#include <cstring>

#include "process_match.h"

#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"

#include <ppport.h>

// Everything else stays hidden; the export list binds the second boot name.
#if defined(__GNUC__)
#define VARROKIT_BOOT_EXPORT __attribute__((visibility("default")))
#else
#define VARROKIT_BOOT_EXPORT
#endif

namespace {

const char kModuleVersion[] = "0.01";
const char kSourceFileName[] = "Varrokit9x";
const char kFunctionName[] = "Win32::Varrokit::Varrokit9x::MatchWin9xPid";

// The version the loader asked for: the bootstrap parameter if one was passed,
// else $PACKAGE::XS_VERSION when defined, else $PACKAGE::VERSION. Null when
// there is none to compare; *variable names the variable it came from.
SV* RequiredVersion(pTHX_ const char* package, SV* parameter, const char** variable) {
    *variable = nullptr;
    if (parameter != nullptr) return parameter;
    *variable = "XS_VERSION";
    SV* version = get_sv(form("%s::%s", package, *variable), 0);
    if (version == nullptr || !SvOK(version)) {
        *variable = "VERSION";
        version = get_sv(form("%s::%s", package, *variable), 0);
    }
    return version;
}

// The sought name as the bytes that Perl holds equal to it: a string stored as
// UTF-8 gives its byte form whenever it has one, so that "\x{e9}" matches
// whether or not it was upgraded. Only characters above 0xFF keep their UTF-8
// bytes. The caller's scalar is left as it is.
const char* SeekNameBytes(pTHX_ SV* name) {
    STRLEN length;
    const char* bytes = SvPV(name, length);
    if (!SvUTF8(name)) return bytes;
    SV* copy = sv_2mortal(newSVpvn(bytes, length));
    SvUTF8_on(copy);
    return sv_utf8_downgrade(copy, TRUE) ? SvPV_nolen(copy) : bytes;
}

// The sought identifier, converted as perl converts it (SvUV), or one that
// matches nothing where that conversion would name an unrelated process: a
// perl with 32-bit integers casts a float beyond them to its low bits (5.6
// does), and NaN and the infinities to 0; a perl with 64-bit integers holds
// values that no DWORD does.
std::uint32_t SeekPid(pTHX_ SV* argument) {
    const std::uint32_t kMatchesNothing = UINT32_MAX;
    // One conversion, so tied and magic values are fetched once; it leaves
    // the numeric value in the scalar's own slots.
    const UV value = SvUV(argument);
    if (SvNOKp(argument)) {
        const NV number = SvNVX(argument);
        if (!(number > -1.0 && number < 4294967296.0)) return kMatchesNothing;  // also NaN
    }
    return value <= UINT32_MAX ? static_cast<std::uint32_t>(value) : kMatchesNothing;
}

}  // namespace

static void XS_Win32__Varrokit__Varrokit9x_MatchWin9xPid(pTHX_ CV* /*cv*/) {
    dXSARGS;
    if (items != 2)
        croak("Usage: Win32::Varrokit::Varrokit9x::MatchWin9xPid(dwSeekPid, szSeekExeName)");

    const std::uint32_t seek_pid = SeekPid(aTHX_ ST(0));
    const char* seek_exe_name = SeekNameBytes(aTHX_ ST(1));
    dXSTARG;

    const varrokit::ProcessId pid = varrokit::MatchWin9xPid(seek_pid, seek_exe_name);

    sv_setuv(TARG, static_cast<UV>(pid));
    SvSETMAGIC(TARG);
    ST(0) = TARG;
    XSRETURN(1);
}

extern "C" VARROKIT_BOOT_EXPORT void boot_Win32__Varrokit__Varrokit9x(pTHX_ CV* cv) {
#ifdef XS_APIVERSION_SETXSUBFN_POPMARK_BOOTCHECK
    // Perls from 5.22 on refuse, with their own message, a binary built for
    // another major version or another build of perl (threads, for one),
    // whose structures it would misread. No version is passed: the module
    // version is compared below, as it always was. The arguments are counted
    // here, not by dXSBOOTARGSAPIVERCHK, which counts one too few in some of
    // those perls (5.30, for one).
    const I32 ax = XS_APIVERSION_SETXSUBFN_POPMARK_BOOTCHECK;
    dSP;
    const I32 items = static_cast<I32>(SP - (PL_stack_base + ax - 1));
#else
    dXSARGS;
#endif
    PERL_UNUSED_VAR(cv);
    // The loader always passes the package name; a hand-made call without it
    // must not read past the arguments.
    if (items < 1) croak("Usage: Win32::Varrokit::Varrokit9x::bootstrap(package, ...)");

    const char* package = SvPV_nolen(ST(0));
    const char* variable;
    SV* version = RequiredVersion(aTHX_ package, items >= 2 ? ST(1) : nullptr, &variable);
    if (version != nullptr &&
        (!SvOK(version) || std::strcmp(kModuleVersion, SvPV_nolen(version)) != 0)) {
        const bool named = variable != nullptr;
        croak("%s object version %s does not match %s%s%s%s %" SVf, package, kModuleVersion,
              named ? "$" : "", named ? package : "", named ? "::" : "",
              named ? variable : "bootstrap parameter", SVfARG(version));
    }

    // Older perls declare these parameters without const.
    newXS(const_cast<char*>(kFunctionName), XS_Win32__Varrokit__Varrokit9x_MatchWin9xPid,
          const_cast<char*>(kSourceFileName));

    ST(0) = &PL_sv_yes;
    XSRETURN(1);
}
