// The process-list source for Linux, read from procfs.
#ifndef VARROKIT_LOOKUP_LINUX_PROC_SOURCE_H
#define VARROKIT_LOOKUP_LINUX_PROC_SOURCE_H

#include <cstddef>
#include <cstdint>

#include <sys/types.h>

#include "process_match.h"

namespace varrokit {

// Delivers the running processes (never threads, zombies or dead processes)
// in ascending identifier order, as /proc lists them, and only those whose
// short identifier is the one sought. A process that ends while it is being
// read is left out. The object owns every buffer it needs, so a lookup
// allocates nothing; keep it on the stack for one lookup.
//
// Listing /proc costs time for every process. But only identifiers
// s + k * 65536 can carry the short identifier s, and Linux gives out none
// at or above 2^22, so there are at most 64 candidates to ask the kernel
// about instead, one system call each. Which road is cheaper depends on the
// host: how many processes there are, and how dear a system call is (a
// fraction of a microsecond on bare metal, several under some hypervisors,
// tens under ptrace). The adaptive source measures both costs in each
// lookup, with the monotonic clock, which needs no system call: it lists
// /proc while the rest of the listing costs less than probing the
// candidates above the last identifier listed, and probes them otherwise.
// It asks only what the road it takes needs: whether /proc is procfs before
// it uses a listing, whether probes see this /proc before it probes. Either
// way it yields the same entries in the same order; the clock decides only
// the road.
class ProcSource final : public ProcessListSource {
public:
    enum class Strategy { kAdaptive, kListDirectory, kProbeCandidates };
    // Nanoseconds on a clock that only goes forward.
    using Clock = std::int64_t (*)();
    static std::int64_t MonotonicNanoseconds();

    explicit ProcSource(Strategy strategy = Strategy::kAdaptive, Clock clock = MonotonicNanoseconds)
        : strategy_(strategy), clock_(clock) {}
    ProcSource(const ProcSource&) = delete;
    ProcSource& operator=(const ProcSource&) = delete;

    bool TakeSnapshot(std::uint32_t seek_pid) override;
    bool FirstEntry(ProcessEntry& entry) override;
    bool NextEntry(ProcessEntry& entry) override;
    void ReleaseSnapshot() override;

    // Why the last walk fell short: the errno of a failure to open /proc
    // (ENOENT when what is there is not procfs) or to read it on the way, such
    // as EMFILE. 0 when the walk saw every process it had to.
    int failure() const { return failure_; }

private:
    // The next identifier above covered_ that may be an entry; false at the end.
    bool NextPid(ProcessId& pid);
    bool NextListedPid(ProcessId& pid);
    bool NextCandidatePid(ProcessId& pid);
    // Reads the next part of the listing; false at its end or on failure.
    bool ReadListing();
    bool OpenProc();
    // Each of these three also notes what its system call cost.
    bool BoundProcesses();
    // Notes whether /proc is procfs, and fails the walk with ENOENT if not.
    bool CheckProcfs();
    bool ProbesSeeThisProc();
    void NoteCallCost(std::int64_t ns, bool copies_out_record);
    // Times a getpid, which prices a probe, and keeps what it returns.
    void PriceProbe();
    // The adaptive source's choice, from what this lookup has measured.
    bool ProbingCostsLess() const;
    bool ListingFitsOneRead() const;
    bool ListingNeedsSample() const;
    std::int64_t ProbingNs() const;
    // The rest of the listing, where each process's entry costs this much.
    std::int64_t ListingNs(std::int64_t process_entry_ns) const;
    std::int64_t ProcessEntryCostFloorNs() const;
    std::int64_t MeasuredProcessEntryNs() const;
    unsigned long CandidatesLeft() const;
    // Where /proc is open, its files are read through that descriptor;
    // where not, by path. path starts with "/proc/".
    int ProcFolder() const;
    const char* UnderProc(const char* path) const;
    // Fills name_ for a running process; false when pid is not one (any more).
    bool ReadProcess(ProcessId pid);
    // Fills name_ from the stat file at stat_path, relative to dir_fd, and
    // says whether the kernel cut the name; false when it is no running
    // process (ended, a zombie, or a thread that leads no thread group).
    bool ReadStatName(int dir_fd, const char* stat_path, bool& cut);
    // Lengthens the cut name_ from the cmdline file of process_fd's folder.
    void ReadLongName(int process_fd);
    // Reads the file at path, relative to dir_fd, into io_; returns the byte count, or -1.
    long ReadProcFile(int dir_fd, const char* path);

    const Strategy strategy_;
    const Clock clock_;
    int proc_fd_ = -1;
    int failure_ = 0;
    std::uint32_t seek_pid_ = 0;
    bool procfs_checked_ = false;
    pid_t own_pid_ = 0;
    bool may_switch_to_probing_ = false;
    bool probing_ = false;
    // Every identifier up to this one has been delivered or ruled out.
    ProcessId covered_ = 0;

    // What the adaptive source knows of the two roads' costs.
    // A system call that copies a record out, as a read of /proc does, and
    // one that only looks an identifier up, as a probe does.
    std::int64_t read_call_ns_ = 0;
    std::int64_t probe_call_ns_ = 0;
    unsigned long processes_bound_ = 0;
    unsigned long listed_processes_ = 0;
    unsigned long listed_records_ = 0;
    unsigned long listing_reads_ = 0;
    std::int64_t listing_ns_ = 0;

    long listing_size_ = 0;
    long listing_offset_ = 0;
    bool listing_ended_ = false;
    alignas(8) char listing_[16384];

    char name_[kMaxExePathLength + 1];
    // Large enough for a whole argv[0] of PATH_MAX bytes.
    char io_[4096 + 1];
};

}  // namespace varrokit

#endif
