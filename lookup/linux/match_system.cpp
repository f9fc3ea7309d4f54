#include "proc_source.h"
#include "process_match.h"

namespace varrokit {

ProcessId MatchWin9xPid(std::uint32_t seek_pid, const char* seek_exe_name) {
    ProcSource source;
    return MatchProcess(source, seek_pid, seek_exe_name);
}

}  // namespace varrokit
