#include <cerrno>

#include "process_match.h"
#include "toolhelp_source.h"

namespace varrokit {

namespace {

// The errno closest to a Toolhelp failure, for callers that read only errno.
int ErrnoFor(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED: return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        default: return EIO;
    }
}

}  // namespace

// errno and the last-error value are the caller's: a lookup leaves them as
// they were, unless it returns 0 because no snapshot could be taken, and
// then both say why.
ProcessId MatchWin9xPid(std::uint32_t seek_pid, const char* seek_exe_name) {
    const int caller_errno = errno;
    const DWORD caller_error = GetLastError();
    ToolhelpSource source;
    const ProcessId pid = MatchProcess(source, seek_pid, seek_exe_name);
    if (pid == 0 && source.failure() != 0) {
        errno = ErrnoFor(source.failure());
        SetLastError(source.failure());
    } else {
        errno = caller_errno;
        SetLastError(caller_error);
    }
    return pid;
}

}  // namespace varrokit
