#include "proc_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>

#include "proc_text.h"

namespace varrokit {

namespace {

// Linux gives out no identifier at or above this (PID_MAX_LIMIT).
constexpr std::uint32_t kPidLimit = 1u << 22;
constexpr std::uint32_t kCandidates = kPidLimit >> 16;

// Below this many links /proc holds so few processes that one listing costs
// less than probing every candidate. The link count also counts the fixed
// directories of /proc, and, inside a PID namespace, processes the namespace
// cannot see; both only tip the choice toward probing, which stays bounded.
constexpr nlink_t kProbeFromLinkCount = 100;

// Writes "<pid>/<file>" with its terminator into out, which must hold 32 bytes.
void FormatProcPath(ProcessId pid, const char* file, char* out) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid != 0);
    while (count > 0) *out++ = digits[--count];
    *out++ = '/';
    while ((*out++ = *file++) != '\0') {
    }
}

}  // namespace

bool ProcSource::TakeSnapshot(std::uint32_t seek_pid) {
    proc_fd_ = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc_fd_ < 0) return false;
    struct statfs filesystem;
    if (fstatfs(proc_fd_, &filesystem) != 0 || filesystem.f_type != PROC_SUPER_MAGIC) {
        ReleaseSnapshot();
        return false;
    }
    seek_pid_ = seek_pid;
    listing_size_ = 0;
    listing_offset_ = 0;
    next_candidate_ = 0;
    probing_ = strategy_ == Strategy::kChooseByProcessCount
                   ? ShouldProbe()
                   : strategy_ == Strategy::kProbeCandidates;
    return true;
}

bool ProcSource::ShouldProbe() const {
    struct stat proc_stat;
    if (fstat(proc_fd_, &proc_stat) != 0 || proc_stat.st_nlink < kProbeFromLinkCount) return false;
    // Probes ask the kernel by identifier in our own PID namespace; they
    // agree with /proc only when /proc shows that namespace, which its
    // "self" link then tells.
    char self[16];
    const ssize_t length = readlinkat(proc_fd_, "self", self, sizeof self - 1);
    if (length <= 0) return false;
    self[length] = '\0';
    return ParseDecimalPid(self) == static_cast<unsigned long>(getpid());
}

void ProcSource::ReleaseSnapshot() {
    close(proc_fd_);
    proc_fd_ = -1;
}

bool ProcSource::FirstEntry(ProcessEntry& entry) { return NextEntry(entry); }

bool ProcSource::NextEntry(ProcessEntry& entry) {
    ProcessId pid;
    while (probing_ ? NextCandidatePid(pid) : NextListedPid(pid)) {
        // Names are read only where the rule could use them.
        if (ShortId(pid) != seek_pid_ || !ReadProcess(pid)) continue;
        // The directory lists main threads only; a probe reaches any thread.
        if (probing_ && !IsThreadGroupLeader(pid)) continue;
        entry.pid = pid;
        entry.exe_path = name_;
        return true;
    }
    return false;
}

bool ProcSource::NextListedPid(ProcessId& pid) {
    for (;;) {
        if (listing_offset_ >= listing_size_) {
            const ssize_t size = getdents64(proc_fd_, listing_, sizeof listing_);
            if (size <= 0) return false;
            listing_size_ = size;
            listing_offset_ = 0;
        }
        const auto* record = reinterpret_cast<const dirent64*>(listing_ + listing_offset_);
        listing_offset_ += record->d_reclen;
        const unsigned long value = ParseDecimalPid(record->d_name);
        if (value != 0) {
            pid = static_cast<ProcessId>(value);
            return true;
        }
    }
}

bool ProcSource::NextCandidatePid(ProcessId& pid) {
    // A short identifier above 0xFFFF has no candidates at all.
    if (seek_pid_ > 0xFFFFu) return false;
    while (next_candidate_ < kCandidates) {
        const ProcessId candidate = seek_pid_ + (next_candidate_++ << 16);
        // kill(0, 0) would signal our own process group; there is no process 0.
        if (candidate == 0) continue;
        // Signal 0 only asks whether the identifier is in use: a cheap
        // system call, unlike a failed lookup in /proc.
        if (kill(static_cast<pid_t>(candidate), 0) != 0 && errno == ESRCH) continue;
        pid = candidate;
        return true;
    }
    return false;
}

bool ProcSource::IsThreadGroupLeader(ProcessId pid) {
    const long size = ReadProcFile(pid, "status");
    unsigned long tgid;
    return size > 0 && ParseStatusTgid(io_, static_cast<std::size_t>(size), tgid) && tgid == pid;
}

long ProcSource::ReadProcFile(ProcessId pid, const char* file) {
    char path[32];
    FormatProcPath(pid, file, path);
    const int fd = openat(proc_fd_, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t size = read(fd, io_, sizeof io_ - 1);
    close(fd);
    return size;
}

bool ProcSource::ReadProcess(ProcessId pid) {
    const long stat_size = ReadProcFile(pid, "stat");
    ProcStat stat;
    if (stat_size <= 0 || !ParseProcStat(io_, static_cast<std::size_t>(stat_size), stat) ||
        !IsRunningState(stat.state))
        return false;

    std::size_t length = stat.command_name_length;
    if (length > kMaxExePathLength) length = kMaxExePathLength;
    std::memcpy(name_, stat.command_name, length);
    name_[length] = '\0';

    if (length == kCommandNameCut) {
        const long cmdline_size = ReadProcFile(pid, "cmdline");
        // An argv[0] that fills the whole buffer may go on beyond it.
        const bool whole_argv0 =
            cmdline_size > 0 && (static_cast<std::size_t>(cmdline_size) < sizeof io_ - 1 ||
                                 std::memchr(io_, '\0', sizeof io_ - 1) != nullptr);
        const char* long_name = nullptr;
        const std::size_t long_length =
            whole_argv0 ? LongNameFromCmdline(name_, length, io_,
                                              static_cast<std::size_t>(cmdline_size), &long_name)
                        : 0;
        if (long_length != 0 && long_length <= kMaxExePathLength) {
            std::memcpy(name_, long_name, long_length);
            name_[long_length] = '\0';
        }
    }
    return true;
}

}  // namespace varrokit
