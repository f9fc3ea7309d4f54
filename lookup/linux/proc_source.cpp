#include "proc_source.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

#include "proc_text.h"

// getdents64 is called by number, so that the source builds with the C
// library of older systems, which declares it only from glibc 2.30.

namespace varrokit {

namespace {

// The record getdents64 writes, as the kernel lays it out.
struct KernelDirent64 {
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short record_length;
    unsigned char type;
    char name[1];  // runs on to its terminator
};

// The longest record getdents64 writes: the fixed part, a name of 255
// bytes and its terminator, padded to 8 bytes. A read that leaves this much
// room unused has reached the end of the folder.
constexpr long kLargestRecordBytes = (offsetof(KernelDirent64, name) + 256 + 7) / 8 * 8;

// Linux gives out no identifier at or above this (PID_MAX_LIMIT).
constexpr std::uint32_t kPidLimit = 1u << 22;

// The adaptive source's rules of thumb until it has timed a read of its own.
// No host lists a process's /proc entry faster than this: the kernel looks
// each one up and caches it, which took 0.33 µs with 200 processes to 1.15
// µs with 5 000 where a system call costs 0.2 µs, and 0.45 µs with 200 to
// 1.4 µs with 5 000 on an AMD EPYC virtual machine. The more processes, the
// more of the kernel's tables a listing reads from memory rather than
// cache: the floor rises by 0.12 ns for each.
constexpr std::int64_t kProcessEntryCostFloorNs = 300;
constexpr std::int64_t kProcessEntryCostFloorRisePerThousand = 120;
// A listing that costs less than probing even at this much an entry is read
// whole, unsampled. Lookups that list one after another keep the kernel's caches
// warm, and an entry then cost 0.5 to 0.9 µs with 1 000 processes, where a
// system call costs 0.2 µs; a listing that follows lookups that probed
// finds them cold, at up to 2 µs, and a sample would turn it to probing
// again.
constexpr std::int64_t kWarmProcessEntryCostCeilingNs = 1000;
// /proc's own files (cpuinfo, self, sys, ...) come first and cost about a
// third of a process's entry; its link count leaves them out, as it counts
// only folders: 40-odd on common kernels.
constexpr std::int64_t kOwnFileCostNs = 100;
constexpr std::int64_t kUncountedEntriesFloor = 32;
// One getdents64 record of /proc (a fixed part, the name, padding to 8
// bytes) takes about this many bytes.
constexpr std::int64_t kBytesPerRecord = 32;
// A listing too long for one read is first sampled with a read this small:
// /proc's own files and some 15 processes, so that where a process's
// record costs far more than the floor (under ptrace, or with the kernel's
// caches cold), the lookup learns it before it has spent much. A cold
// record cost 2.5 µs: a sample of 4 KB, some 80 processes, cost a seventh
// of probing where that was the cheaper road.
constexpr std::int64_t kSampleReadBytes = 2048;
// A stat of /proc by path cost up to four times a probe that finds nothing:
// 0.8 µs against 0.2 µs, where a system call costs 0.2 µs.
constexpr std::int64_t kReadToProbeCost = 4;
// Beyond the sample, the listing gives way to probing only where probing
// costs at most (margin - 1) / margin of the rest.
constexpr std::int64_t kRoadMargin = 5;

// Writes the decimal digits of pid with a terminator into out, which must
// hold 11 bytes.
void FormatPid(ProcessId pid, char* out) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid != 0);
    while (count > 0) *out++ = digits[--count];
    *out = '\0';
}

unsigned short RecordLength(const char* record) {
    unsigned short length;
    std::memcpy(&length, record + offsetof(KernelDirent64, record_length), sizeof length);
    return length;
}

// Errors that say this lookup cannot go on, as opposed to a process that
// ended or that the caller may not see, which is only passed over.
bool IsOutOfResources(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

// The first identifier above covered that can carry seek_pid; there is no
// process 0.
ProcessId FirstCandidateAbove(ProcessId covered, std::uint32_t seek_pid) {
    ProcessId candidate = seek_pid;
    if (covered >= seek_pid) candidate += ((covered - seek_pid) / 0x10000u + 1) * 0x10000u;
    return candidate;
}

}  // namespace

std::int64_t ProcSource::MonotonicNanoseconds() {
    // Read through the vDSO: no system call, so no cost of the kind measured.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool ProcSource::TakeSnapshot(std::uint32_t seek_pid) {
    failure_ = 0;
    proc_fd_ = -1;
    seek_pid_ = seek_pid;
    covered_ = 0;
    listed_processes_ = 0;
    listed_records_ = 0;
    listing_reads_ = 0;
    listing_ns_ = 0;
    listing_size_ = 0;
    listing_offset_ = 0;
    listing_ended_ = false;
    procfs_checked_ = false;
    own_pid_ = 0;
    probing_ = false;
    may_switch_to_probing_ = false;
    bool wants_probing = strategy_ == Strategy::kProbeCandidates;
    bool samples = false;
    if (strategy_ == Strategy::kAdaptive) {
        if (!BoundProcesses()) return false;
        wants_probing = ProbingCostsLess();
        // A probe may cost a fraction of the stat that priced it: where that
        // could turn the choice, a getpid, which does as little as a probe
        // and which probing needs anyway, prices one.
        if (!wants_probing && ProbingNs() < ListingNs(ProcessEntryCostFloorNs()) * kReadToProbeCost) {
            PriceProbe();
            wants_probing = ProbingCostsLess();
        }
        samples = !wants_probing && ListingNeedsSample();
    }
    // Probing reads /proc by path, and so opens no descriptor of it.
    if (wants_probing && ProbesSeeThisProc()) {
        // /proc shows this PID namespace, so it is procfs.
        probing_ = true;
        return true;
    }
    if (!OpenProc()) return false;
    // A sampled listing asks whether /proc is procfs only once it goes on.
    may_switch_to_probing_ = samples;
    if (samples) return true;
    if (!CheckProcfs()) {
        ReleaseSnapshot();
        return false;
    }
    // A /proc that shows another PID namespace is listed whole: probes
    // cannot see it. Any other listing is chosen once more after the check,
    // which, timed, prices a system call again.
    if (strategy_ != Strategy::kAdaptive || wants_probing) return true;
    if (ProbingCostsLess() && ProbesSeeThisProc()) {
        probing_ = true;
        return true;
    }
    may_switch_to_probing_ = ListingNeedsSample();
    return true;
}

bool ProcSource::OpenProc() {
    proc_fd_ = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc_fd_ < 0) failure_ = errno;
    return proc_fd_ >= 0;
}

bool ProcSource::BoundProcesses() {
    // The link count of /proc is its own few folders plus every process of
    // every PID namespace: a bound on what is left to list. The call, timed,
    // gives the cost of one.
    const std::int64_t before_stat = clock_();
    struct stat proc_stat;
    if (stat("/proc", &proc_stat) != 0) {
        failure_ = errno;
        return false;
    }
    read_call_ns_ = clock_() - before_stat;
    if (read_call_ns_ < 1) read_call_ns_ = 1;
    probe_call_ns_ = read_call_ns_;
    processes_bound_ = proc_stat.st_nlink;
    return true;
}

void ProcSource::NoteCallCost(std::int64_t ns, bool copies_out_record) {
    // The least of the timed calls is the one that no interruption or cold
    // cache made dear.
    if (ns < 1) ns = 1;
    if (copies_out_record && ns < read_call_ns_) read_call_ns_ = ns;
    if (ns < probe_call_ns_) probe_call_ns_ = ns;
}

bool ProcSource::CheckProcfs() {
    const std::int64_t before_statfs = clock_();
    struct statfs filesystem;
    procfs_checked_ = fstatfs(proc_fd_, &filesystem) == 0 && filesystem.f_type == PROC_SUPER_MAGIC;
    NoteCallCost(clock_() - before_statfs, true);
    if (!procfs_checked_) failure_ = ENOENT;
    return procfs_checked_;
}

void ProcSource::ReleaseSnapshot() {
    if (proc_fd_ >= 0) close(proc_fd_);
    proc_fd_ = -1;
}

int ProcSource::ProcFolder() const { return proc_fd_ >= 0 ? proc_fd_ : AT_FDCWD; }

const char* ProcSource::UnderProc(const char* path) const {
    return proc_fd_ >= 0 ? path + sizeof "/proc/" - 1 : path;
}

bool ProcSource::FirstEntry(ProcessEntry& entry) { return NextEntry(entry); }

bool ProcSource::NextEntry(ProcessEntry& entry) {
    ProcessId pid;
    while (failure_ == 0 && NextPid(pid)) {
        // Names are read only where the rule could use them.
        if (ShortId(pid) != seek_pid_ || !ReadProcess(pid)) continue;
        entry.pid = pid;
        entry.exe_path = name_;
        return true;
    }
    return false;
}

bool ProcSource::NextPid(ProcessId& pid) {
    while (probing_ ? NextCandidatePid(pid) : NextListedPid(pid)) {
        // After a probe gave up, the listing may name identifiers it covered.
        if (pid <= covered_) continue;
        covered_ = pid;
        return true;
    }
    return false;
}

bool ProcSource::NextListedPid(ProcessId& pid) {
    for (;;) {
        if (listing_offset_ >= listing_size_) {
            if (listing_ended_ || !ReadListing()) return false;
            // Once the whole listing is in hand there is nothing left to
            // spend on either road; before that, what the reads cost so far
            // may send the lookup to probing, before their entries are used.
            if (may_switch_to_probing_ && !listing_ended_ && ProbingCostsLess()) {
                may_switch_to_probing_ = false;
                // Where /proc shows another PID namespace, the listing goes on.
                if (ProbesSeeThisProc()) {
                    probing_ = true;
                    return NextCandidatePid(pid);
                }
            }
            if (!procfs_checked_ && !CheckProcfs()) return false;
        }
        const char* record = listing_ + listing_offset_;
        listing_offset_ += RecordLength(record);
        const unsigned long value = ParseDecimalPid(record + offsetof(KernelDirent64, name));
        if (value != 0) {
            pid = static_cast<ProcessId>(value);
            return true;
        }
    }
}

bool ProcSource::ReadListing() {
    // Only a listing that may give way to probing is timed, and its first
    // read is a small sample.
    const bool timed = may_switch_to_probing_;
    const std::size_t wanted = timed && listing_reads_ == 0 ? kSampleReadBytes : sizeof listing_;
    const std::int64_t start = timed ? clock_() : 0;
    const long size = syscall(SYS_getdents64, proc_fd_, listing_, wanted);
    if (timed) listing_ns_ += clock_() - start;
    ++listing_reads_;
    if (size < 0) failure_ = errno;
    if (size <= 0) return false;
    listing_ended_ = size + kLargestRecordBytes <= static_cast<long>(wanted);
    listing_size_ = size;
    listing_offset_ = 0;
    if (timed) {
        for (long offset = 0; offset < size; offset += RecordLength(listing_ + offset)) {
            ++listed_records_;
            if (ParseDecimalPid(listing_ + offset + offsetof(KernelDirent64, name)) != 0) ++listed_processes_;
        }
    }
    return true;
}

unsigned long ProcSource::CandidatesLeft() const {
    if (seek_pid_ > 0xFFFFu) return 0;
    const ProcessId next = FirstCandidateAbove(covered_, seek_pid_);
    return next < kPidLimit ? (kPidLimit - 1 - next) / 0x10000u + 1 : 0;
}

std::int64_t ProcSource::ProbingNs() const {
    // Probing first asks whether probes see this /proc: a read of its "self"
    // link and a getpid.
    return static_cast<std::int64_t>(CandidatesLeft()) * probe_call_ns_ + read_call_ns_ + probe_call_ns_;
}

std::int64_t ProcSource::ListingNs(std::int64_t process_entry_ns) const {
    const std::int64_t own_files_listed = static_cast<std::int64_t>(listed_records_ - listed_processes_);
    const std::int64_t processes_left =
        processes_bound_ > listed_processes_
            ? static_cast<std::int64_t>(processes_bound_ - listed_processes_)
            : 0;
    // Until the first process is listed, /proc's own files are still to come.
    const std::int64_t own_files_left =
        listed_processes_ == 0 && own_files_listed < kUncountedEntriesFloor
            ? kUncountedEntriesFloor - own_files_listed
            : 0;
    const std::int64_t left = processes_left + own_files_left;
    // One more read always comes: the one that finds the end. And before
    // the listing is used, the check that /proc is procfs.
    const std::int64_t calls = left * kBytesPerRecord / static_cast<std::int64_t>(sizeof listing_) + 1 +
                               (procfs_checked_ ? 0 : 1);
    return processes_left * process_entry_ns + own_files_left * kOwnFileCostNs + calls * read_call_ns_;
}

std::int64_t ProcSource::ProcessEntryCostFloorNs() const {
    return kProcessEntryCostFloorNs +
           static_cast<std::int64_t>(processes_bound_) * kProcessEntryCostFloorRisePerThousand / 1000;
}

std::int64_t ProcSource::MeasuredProcessEntryNs() const {
    // Each read costs a system call, and /proc's own files their share; the
    // rest of its time goes to the processes it brought.
    const std::int64_t floor = ProcessEntryCostFloorNs();
    if (listed_processes_ == 0) return floor;
    const std::int64_t own_files_listed = static_cast<std::int64_t>(listed_records_ - listed_processes_);
    const std::int64_t measured =
        (listing_ns_ - static_cast<std::int64_t>(listing_reads_) * read_call_ns_ -
         own_files_listed * kOwnFileCostNs) /
        static_cast<std::int64_t>(listed_processes_);
    return measured > floor ? measured : floor;
}

bool ProcSource::ProbingCostsLess() const {
    // Before the listing, the floor errs towards listing. After the sample,
    // the cheaper road is taken: the sample is spent either way. Beyond it,
    // probing needs the margin: one interruption can make a read look dear,
    // and turning then pays for both roads.
    const std::int64_t probing = ProbingNs();
    if (listing_reads_ == 0) return probing < ListingNs(ProcessEntryCostFloorNs());
    const std::int64_t listing = ListingNs(MeasuredProcessEntryNs());
    if (listing_reads_ == 1) return probing < listing;
    return probing * kRoadMargin < listing * (kRoadMargin - 1);
}

bool ProcSource::ListingNeedsSample() const {
    // A listing that one read holds, or that costs less than probing even
    // where each entry is as dear as warm caches make it, is read whole. Any
    // other is sampled first, and may give way to probing after any read.
    return !ListingFitsOneRead() && ListingNs(kWarmProcessEntryCostCeilingNs) > ProbingNs();
}

bool ProcSource::ListingFitsOneRead() const {
    const std::int64_t records = static_cast<std::int64_t>(processes_bound_) + kUncountedEntriesFloor;
    return records * kBytesPerRecord + kLargestRecordBytes <= static_cast<std::int64_t>(sizeof listing_);
}

bool ProcSource::ProbesSeeThisProc() {
    // Probes ask the kernel by identifier in our own PID namespace. They
    // agree with /proc only when it shows that namespace, and then its
    // "self" link names our own identifier.
    char self[16];
    const std::int64_t before_readlink = clock_();
    const ssize_t length = readlinkat(ProcFolder(), UnderProc("/proc/self"), self, sizeof self - 1);
    NoteCallCost(clock_() - before_readlink, true);
    if (length <= 0) return false;
    self[length] = '\0';
    if (own_pid_ == 0) PriceProbe();
    // Then /proc is procfs, too.
    procfs_checked_ = ParseDecimalPid(self) == static_cast<unsigned long>(own_pid_);
    return procfs_checked_;
}

void ProcSource::PriceProbe() {
    // getpid does as little as a probe's getsid, and so prices one better
    // than the calls that copy a record out.
    const std::int64_t before_getpid = clock_();
    own_pid_ = getpid();
    NoteCallCost(clock_() - before_getpid, false);
}

bool ProcSource::NextCandidatePid(ProcessId& pid) {
    if (seek_pid_ > 0xFFFFu) return false;  // no identifier carries it
    for (ProcessId candidate = FirstCandidateAbove(covered_, seek_pid_); candidate < kPidLimit;
         candidate += 0x10000u) {
        // getsid looks the identifier up and makes nothing: a miss, the
        // common case, costs one cheap system call, and ESRCH is the only
        // answer that says no task has it. It also finds a thread that leads
        // no thread group, which /proc does not list; its stat rules it out.
        // A security module's refusal still means that the task exists.
        if (getsid(static_cast<pid_t>(candidate)) >= 0 || errno == EPERM || errno == EACCES) {
            pid = candidate;
            return true;
        }
        if (errno != ESRCH) {
            // A sandbox that filters getsid out: the listing finds the rest.
            probing_ = false;
            return (proc_fd_ >= 0 || OpenProc()) && NextListedPid(pid);
        }
        covered_ = candidate;
    }
    return false;
}

long ProcSource::ReadProcFile(int dir_fd, const char* path) {
    const int fd = openat(dir_fd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (IsOutOfResources(errno)) failure_ = errno;
        return -1;
    }
    const ssize_t size = read(fd, io_, sizeof io_ - 1);
    close(fd);
    return size;
}

bool ProcSource::ReadProcess(ProcessId pid) {
    // Most names are whole in stat, read straight through its path: one
    // open. A name the kernel cut needs cmdline too, and then both files are
    // read again through one descriptor of the process's folder: should the
    // process end and its identifier be given out again, the reads fail
    // instead of mixing two processes.
    char path[sizeof "/proc/4294967295/stat"] = "/proc/";
    FormatPid(pid, path + sizeof "/proc/" - 1);
    const std::size_t length = std::strlen(path);
    std::memcpy(path + length, "/stat", sizeof "/stat");
    bool cut = false;
    if (!ReadStatName(ProcFolder(), UnderProc(path), cut)) return false;
    if (!cut) return true;

    path[length] = '\0';
    const int process_fd = openat(ProcFolder(), UnderProc(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (process_fd < 0) {
        if (IsOutOfResources(errno)) failure_ = errno;
        return false;
    }
    const bool running = ReadStatName(process_fd, "stat", cut);
    if (running && cut) ReadLongName(process_fd);
    close(process_fd);
    return running;
}

bool ProcSource::ReadStatName(int dir_fd, const char* stat_path, bool& cut) {
    const long stat_size = ReadProcFile(dir_fd, stat_path);
    ProcStat stat;
    if (stat_size <= 0 || !ParseProcStat(io_, static_cast<std::size_t>(stat_size), stat) ||
        !IsRunning(stat) || !stat.leads_thread_group)
        return false;
    std::size_t length = stat.command_name_length;
    if (length > kMaxExePathLength) length = kMaxExePathLength;
    std::memcpy(name_, stat.command_name, length);
    name_[length] = '\0';
    cut = length == kCommandNameCut;
    return true;
}

void ProcSource::ReadLongName(int process_fd) {
    const std::size_t length = std::strlen(name_);
    const long cmdline_size = ReadProcFile(process_fd, "cmdline");
    // An argv[0] that fills the whole buffer may go on beyond it.
    const bool whole_argv0 =
        cmdline_size > 0 && (static_cast<std::size_t>(cmdline_size) < sizeof io_ - 1 ||
                             std::memchr(io_, '\0', sizeof io_ - 1) != nullptr);
    const char* long_name = nullptr;
    const std::size_t long_length =
        whole_argv0 ? LongNameFromCmdline(name_, length, io_, static_cast<std::size_t>(cmdline_size),
                                          &long_name)
                    : 0;
    if (long_length != 0 && long_length <= kMaxExePathLength) {
        std::memcpy(name_, long_name, long_length);
        name_[long_length] = '\0';
    }
}

}  // namespace varrokit
