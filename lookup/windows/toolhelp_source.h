// The process-list source of Windows 95, 98, ME and 2000 on: a Toolhelp
// process snapshot.
#ifndef VARROKIT_LOOKUP_WINDOWS_TOOLHELP_SOURCE_H
#define VARROKIT_LOOKUP_WINDOWS_TOOLHELP_SOURCE_H

#include "process_match.h"
#include "system_interfaces.h"

namespace varrokit {

// Delivers every process of the snapshot, unchanged and in the order Toolhelp
// reports them. One record serves the whole walk, so nothing is allocated.
class ToolhelpSource final : public ProcessListSource {
public:
    // toolhelp must be complete.
    explicit ToolhelpSource(const ToolhelpFunctions& toolhelp) : toolhelp_(toolhelp) {}
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

    const ToolhelpFunctions toolhelp_;
    HANDLE snapshot_ = nullptr;
    DWORD failure_ = 0;
    tagPROCESSENTRY32 record_;
};

}  // namespace varrokit

#endif
