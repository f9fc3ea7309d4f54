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
//
// Only identifiers s + k * 65536 can carry the short identifier s, and Linux
// gives out none above 2^22, so there are at most 64 of them. When /proc
// holds more processes than that, probing those candidates one by one is far
// cheaper than listing the whole directory, and it yields the same entries
// in the same order.
class ProcSource final : public ProcessListSource {
public:
    // Which way a snapshot finds its identifiers.
    enum class Strategy { kChooseByProcessCount, kListDirectory, kProbeCandidates };

    explicit ProcSource(Strategy strategy = Strategy::kChooseByProcessCount)
        : strategy_(strategy) {}
    ProcSource(const ProcSource&) = delete;
    ProcSource& operator=(const ProcSource&) = delete;

    bool TakeSnapshot(std::uint32_t seek_pid) override;
    bool FirstEntry(ProcessEntry& entry) override;
    bool NextEntry(ProcessEntry& entry) override;
    void ReleaseSnapshot() override;

private:
    bool ShouldProbe() const;
    // The next identifier that may be an entry; false at the end.
    bool NextListedPid(ProcessId& pid);
    bool NextCandidatePid(ProcessId& pid);
    // Fills name_ for a running process; false when pid is not one (any more).
    bool ReadProcess(ProcessId pid);
    bool IsThreadGroupLeader(ProcessId pid);
    // Reads /proc/<pid>/<file> into io_; returns the byte count, or -1.
    long ReadProcFile(ProcessId pid, const char* file);

    const Strategy strategy_;
    bool probing_ = false;
    int proc_fd_ = -1;
    std::uint32_t seek_pid_ = 0;

    // Directory listing.
    long listing_size_ = 0;
    long listing_offset_ = 0;
    alignas(8) char listing_[16384];

    // Candidate probing: the next candidate is seek_pid_ + next_candidate_ * 65536.
    std::uint32_t next_candidate_ = 0;

    char name_[kMaxExePathLength + 1];
    // Large enough for a whole argv[0] of PATH_MAX bytes.
    char io_[4096 + 1];
};

}  // namespace varrokit

#endif
