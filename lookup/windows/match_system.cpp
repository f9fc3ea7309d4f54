#include <cerrno>

#include "nt_process_source.h"
#include "process_match.h"
#include "system_interfaces.h"
#include "toolhelp_source.h"

namespace varrokit {

namespace {

// The errno closest to a failure to list, for callers that read only errno.
int ErrnoFor(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED: return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_CALL_NOT_IMPLEMENTED: return ENOSYS;
        default: return EIO;
    }
}

// GetProcAddress returns a FARPROC; the cast through void(*)() says that
// the real type is known.
template <class Function>
void FindExport(ExportFinder find_export, HMODULE module, const char* name, Function& function) {
    function = module != nullptr
                   ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(find_export(module, name)))
                   : nullptr;
}

// Runs one lookup through source; the last-error value of a failed
// snapshot, or 0.
template <class Source>
DWORD Lookup(Source&& source, std::uint32_t seek_pid, const char* seek_exe_name, ProcessId& pid) {
    pid = MatchProcess(source, seek_pid, seek_exe_name);
    return pid == 0 ? source.failure() : 0;
}

}  // namespace

// Found afresh at each call: a few name look-ups in DLLs that are loaded
// already cost little beside a snapshot, and the module keeps no state.
SystemInterfaces FindSystemInterfaces(ExportFinder find_export) {
    SystemInterfaces found;
    const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FindExport(find_export, kernel32, "CreateToolhelp32Snapshot", found.toolhelp.create_snapshot);
    FindExport(find_export, kernel32, "Process32First", found.toolhelp.process_first);
    FindExport(find_export, kernel32, "Process32Next", found.toolhelp.process_next);
    // Windows 9x has no ntdll in its processes.
    FindExport(find_export, GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation",
               found.nt_query_system_information);
    return found;
}

// errno and the last-error value are the caller's: a lookup leaves them as
// they were, unless it returns 0 because the list could not be read, and
// then both say why.
ProcessId MatchThrough(const SystemInterfaces& interfaces, std::uint32_t seek_pid,
                       const char* seek_exe_name) {
    const int caller_errno = errno;
    const DWORD caller_error = GetLastError();
    ProcessId pid = 0;
    DWORD failure = ERROR_CALL_NOT_IMPLEMENTED;
    if (interfaces.toolhelp.complete())
        failure = Lookup(ToolhelpSource(interfaces.toolhelp), seek_pid, seek_exe_name, pid);
    else if (interfaces.nt_query_system_information != nullptr)
        failure = Lookup(NtProcessSource(interfaces.nt_query_system_information), seek_pid,
                         seek_exe_name, pid);
    errno = failure != 0 ? ErrnoFor(failure) : caller_errno;
    SetLastError(failure != 0 ? failure : caller_error);
    return pid;
}

ProcessId MatchWin9xPid(std::uint32_t seek_pid, const char* seek_exe_name) {
    return MatchThrough(FindSystemInterfaces(), seek_pid, seek_exe_name);
}

}  // namespace varrokit
