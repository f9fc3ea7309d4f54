#include <cerrno>

#include "proc_source.h"
#include "process_match.h"

namespace varrokit {

// errno is the caller's: a lookup leaves it as it was, unless it returns 0
// because the process list could not be read, and then errno says why.
ProcessId MatchWin9xPid(std::uint32_t seek_pid, const char* seek_exe_name) {
    const int caller_errno = errno;
    ProcSource source;
    const ProcessId pid = MatchProcess(source, seek_pid, seek_exe_name);
    errno = pid == 0 && source.failure() != 0 ? source.failure() : caller_errno;
    return pid;
}

}  // namespace varrokit
