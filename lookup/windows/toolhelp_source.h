// The process-list source for Windows: a Toolhelp process snapshot.
#ifndef VARROKIT_LOOKUP_WINDOWS_TOOLHELP_SOURCE_H
#define VARROKIT_LOOKUP_WINDOWS_TOOLHELP_SOURCE_H

#include <windows.h>
// windows.h must come first.
#include <tlhelp32.h>

#include "process_match.h"

namespace varrokit {

// Delivers every process of the snapshot, unchanged and in the order Toolhelp
// reports them. One record serves the whole walk, so nothing is allocated.
// The record is the 8-bit one (struct tagPROCESSENTRY32) even where UNICODE
// would make PROCESSENTRY32 name the wide one.
class ToolhelpSource final : public ProcessListSource {
public:
    ToolhelpSource() = default;
    ToolhelpSource(const ToolhelpSource&) = delete;
    ToolhelpSource& operator=(const ToolhelpSource&) = delete;

    bool TakeSnapshot(std::uint32_t seek_pid) override;
    bool FirstEntry(ProcessEntry& entry) override;
    bool NextEntry(ProcessEntry& entry) override;
    void ReleaseSnapshot() override;

    // The last-error value of a snapshot that could not be taken; 0 otherwise.
    DWORD failure() const { return failure_; }

private:
    bool Deliver(BOOL filled, ProcessEntry& entry) const;

    HANDLE snapshot_ = nullptr;
    DWORD failure_ = 0;
    tagPROCESSENTRY32 record_;
};

}  // namespace varrokit

#endif
