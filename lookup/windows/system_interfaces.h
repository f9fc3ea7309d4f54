// The two system interfaces that can list processes on Windows, found by
// name at run time. Windows NT 4.0 (and 3.51) has no Toolhelp, and Windows
// 9x no ntdll: a DLL that imported either statically would not load on the
// other, so neither is imported.
#ifndef VARROKIT_LOOKUP_WINDOWS_SYSTEM_INTERFACES_H
#define VARROKIT_LOOKUP_WINDOWS_SYSTEM_INTERFACES_H

#include <windows.h>
// windows.h must come first.
#include <tlhelp32.h>

#include "process_match.h"

namespace varrokit {

// Toolhelp, as KERNEL32 of Windows 95, 98, ME and 2000 on exports it. The
// record is the 8-bit one (struct tagPROCESSENTRY32) even where UNICODE
// would make PROCESSENTRY32 name the wide one.
struct ToolhelpFunctions {
    HANDLE(WINAPI* create_snapshot)(DWORD flags, DWORD pid) = nullptr;
    BOOL(WINAPI* process_first)(HANDLE snapshot, tagPROCESSENTRY32* record) = nullptr;
    BOOL(WINAPI* process_next)(HANDLE snapshot, tagPROCESSENTRY32* record) = nullptr;

    bool complete() const { return create_snapshot && process_first && process_next; }
};

// ntdll's NtQuerySystemInformation, on every NT from 3.1 on.
using NtQuerySystemInformationFunction = LONG(WINAPI*)(ULONG information_class, PVOID buffer,
                                                        ULONG buffer_bytes, PULONG returned_bytes);

struct SystemInterfaces {
    ToolhelpFunctions toolhelp;
    NtQuerySystemInformationFunction nt_query_system_information = nullptr;
};

// How a name is found in a loaded DLL: GetProcAddress, or a stand-in that
// tests use to play a system that lacks some of the names.
using ExportFinder = FARPROC(WINAPI*)(HMODULE module, LPCSTR name);

// Looks the interfaces up in the KERNEL32 and ntdll that every process has
// loaded already; what is missing stays null.
SystemInterfaces FindSystemInterfaces(ExportFinder find_export = GetProcAddress);

// MatchProcess over the running processes, through Toolhelp where it is
// complete, else through NtQuerySystemInformation. With neither it returns 0
// and reports ERROR_CALL_NOT_IMPLEMENTED. The caller's errno and last-error
// value are kept, unless it returns 0 because the list could not be read:
// then both say why.
ProcessId MatchThrough(const SystemInterfaces& interfaces, std::uint32_t seek_pid,
                       const char* seek_exe_name);

}  // namespace varrokit

#endif
