#include "process_match.h"
#include "toolhelp_source.h"

namespace varrokit {

ProcessId MatchWin9xPid(std::uint32_t seek_pid, const char* seek_exe_name) {
    ToolhelpSource source;
    return MatchProcess(source, seek_pid, seek_exe_name);
}

}  // namespace varrokit
