#include "toolhelp_source.h"

#include <cstring>

namespace varrokit {

// The record layout Toolhelp expects from 32-bit callers.
static_assert(sizeof(void*) != 4 || sizeof(tagPROCESSENTRY32) == 296,
              "the 8-bit PROCESSENTRY32 must be 296 bytes on 32-bit Windows");
static_assert(sizeof(tagPROCESSENTRY32::szExeFile) == kMaxExePathLength + 1,
              "szExeFile must hold MAX_PATH bytes");

bool ToolhelpSource::TakeSnapshot(std::uint32_t /*seek_pid*/) {
    failure_ = 0;
    snapshot_ = toolhelp_.create_snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot_ == INVALID_HANDLE_VALUE || snapshot_ == nullptr) {
        // A failure must read as one even if the system left no error.
        const DWORD error = GetLastError();
        failure_ = error != 0 ? error : ERROR_INVALID_HANDLE;
        snapshot_ = nullptr;
        return false;
    }
    return true;
}

bool ToolhelpSource::FirstEntry(ProcessEntry& entry) {
    std::memset(&record_, 0, sizeof record_);
    record_.dwSize = sizeof record_;
    return Deliver(toolhelp_.process_first(snapshot_, &record_), entry);
}

bool ToolhelpSource::NextEntry(ProcessEntry& entry) {
    return Deliver(toolhelp_.process_next(snapshot_, &record_), entry);
}

void ToolhelpSource::ReleaseSnapshot() {
    CloseHandle(snapshot_);
    snapshot_ = nullptr;
}

bool ToolhelpSource::Deliver(BOOL filled, ProcessEntry& entry) const {
    if (!filled) return false;
    entry.pid = record_.th32ProcessID;
    entry.exe_path = record_.szExeFile;
    return true;
}

}  // namespace varrokit
