// The process-list source for Linux, read from procfs.
#ifndef VARROKIT_LOOKUP_LINUX_PROC_SOURCE_H
#define VARROKIT_LOOKUP_LINUX_PROC_SOURCE_H

#include <cstddef>
#include <cstdint>

#include "process_match.h"

namespace varrokit {

// Delivers the running processes (never threads, zombies or dead processes)
// in ascending identifier order, as /proc lists them, and only those whose
// short identifier is the one sought. A process that ends while it is being
// read is left out. The object owns every buffer it needs, so a lookup
// allocates nothing; keep it on the stack for one lookup.
class ProcSource final : public ProcessListSource {
public:
    ProcSource() = default;
    ProcSource(const ProcSource&) = delete;
    ProcSource& operator=(const ProcSource&) = delete;

    bool TakeSnapshot(std::uint32_t seek_pid) override;
    bool FirstEntry(ProcessEntry& entry) override;
    bool NextEntry(ProcessEntry& entry) override;
    void ReleaseSnapshot() override;

private:
    // Reads the next identifier the /proc directory lists; false at the end.
    bool NextListedPid(ProcessId& pid);
    // Fills name_ for a running process; false when pid is not one (any more).
    bool ReadProcess(ProcessId pid);
    // Reads /proc/<pid>/<file> into io_; returns the byte count, or -1.
    long ReadProcFile(ProcessId pid, const char* file);

    int proc_fd_ = -1;
    std::uint32_t seek_pid_ = 0;

    long listing_size_ = 0;
    long listing_offset_ = 0;
    alignas(8) char listing_[16384];

    char name_[kMaxExePathLength + 1];
    // Large enough for a whole argv[0] of PATH_MAX bytes.
    char io_[4096 + 1];
};

}  // namespace varrokit

#endif
