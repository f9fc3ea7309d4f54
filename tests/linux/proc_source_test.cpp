#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "proc_source.h"
#include "source_contract.h"

namespace varrokit {

using Strategy = ProcSource::Strategy;

template <Strategy kStrategy>
struct ProcSourceTraits {
    using Source = ProcSource;
    static Source Make() { return ProcSource(kStrategy); }
    static ProcessId OwnPid() { return static_cast<ProcessId>(getpid()); }
    static std::string OwnExeName() { return program_invocation_short_name; }
};

using LinuxSources =
    testing::Types<ProcSourceTraits<Strategy::kAdaptive>,
                   ProcSourceTraits<Strategy::kListDirectory>,
                   ProcSourceTraits<Strategy::kProbeCandidates>>;
INSTANTIATE_TYPED_TEST_SUITE_P(Linux, ProcessSourceContract, LinuxSources);

namespace {

using Walk = std::vector<std::pair<ProcessId, std::string>>;

Walk Entries(Strategy strategy, std::uint32_t seek_pid,
             ProcSource::Clock clock = ProcSource::MonotonicNanoseconds) {
    Walk walk;
    ProcSource source(strategy, clock);
    if (!source.TakeSnapshot(seek_pid)) return walk;
    ProcessEntry entry{};
    for (bool more = source.FirstEntry(entry); more; more = source.NextEntry(entry))
        walk.emplace_back(entry.pid, entry.exe_path);
    source.ReleaseSnapshot();
    return walk;
}

// The real processes are read the same way by every strategy.
class ProcSourceTest : public testing::TestWithParam<Strategy> {
protected:
    ProcessId Lookup(ProcessId pid, const std::string& name) const {
        ProcSource source(GetParam());
        return MatchProcess(source, ShortId(pid), name.c_str());
    }
};

INSTANTIATE_TEST_SUITE_P(Strategies, ProcSourceTest,
                         testing::Values(Strategy::kListDirectory, Strategy::kProbeCandidates),
                         [](const testing::TestParamInfo<Strategy>& info) {
                             return info.param == Strategy::kListDirectory ? "ListDirectory"
                                                                           : "ProbeCandidates";
                         });

// A sleeping child started through a link with a chosen name, so that the
// kernel records that name as its command name.
class NamedChild {
public:
    explicit NamedChild(const std::string& name) {
        char dir_template[] = "/tmp/varrokit-test-XXXXXX";
        dir_ = mkdtemp(dir_template);
        link_ = dir_ + "/" + name;
        if (symlink("/bin/sleep", link_.c_str()) != 0) return;
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            char* const argv[] = {const_cast<char*>(link_.c_str()), const_cast<char*>("60"),
                                  nullptr};
            execv(link_.c_str(), argv);
            _exit(127);
        }
        close(ready[1]);
        // The pipe closes on a successful exec; only then is the name in place.
        char byte;
        while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
        }
        close(ready[0]);
    }
    ~NamedChild() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(link_.c_str());
        rmdir(dir_.c_str());
    }
    ProcessId pid() const { return static_cast<ProcessId>(pid_); }

private:
    std::string dir_;
    std::string link_;
    pid_t pid_ = -1;
};

TEST_P(ProcSourceTest, FindsNamesWithSpacesAndParentheses) {
    NamedChild child("sp ace (1) x");
    ASSERT_GT(child.pid(), 0u);
    EXPECT_EQ(Lookup(child.pid(), "sp ace (1) x"), child.pid());
    EXPECT_EQ(Lookup(child.pid(), "C:\\bin\\SP ACE (1) X"), child.pid());
}

TEST_P(ProcSourceTest, FindsLongNamesByTheirWholeFileName) {
    NamedChild child("an-executable-name-well-beyond-fifteen-bytes");
    ASSERT_GT(child.pid(), 0u);
    std::string name;
    for (const auto& [pid, exe_path] : Entries(GetParam(), ShortId(child.pid())))
        if (pid == child.pid()) name = exe_path;
    EXPECT_EQ(name, "an-executable-name-well-beyond-fifteen-bytes");
}

TEST_P(ProcSourceTest, ZombieIsNotAnEntry) {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    siginfo_t info{};
    // Wait for the exit but leave the child unreaped: a zombie.
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_NE(Lookup(static_cast<ProcessId>(child), program_invocation_short_name),
              static_cast<ProcessId>(child));
    waitpid(child, nullptr, 0);
}

// The state letter of /proc/<pid>/stat, or 0 once it is gone.
char ProcessState(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;
    char text[512] = {};
    std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    const char* close = std::strrchr(text, ')');
    return close != nullptr && close[1] == ' ' ? close[2] : 0;
}

TEST_P(ProcSourceTest, ProcessWhoseFirstThreadEndedIsAnEntry) {
    const pid_t child = fork();
    if (child == 0) {
        pthread_t sleeper;
        pthread_create(&sleeper, nullptr, [](void*) -> void* { pause(); return nullptr; }, nullptr);
        // Ends the first thread alone, as pthread_exit does, but without
        // unwinding through the test framework. /proc now shows a zombie.
        syscall(SYS_exit, 0);
    }
    ASSERT_GT(child, 0);
    for (int wait = 0; ProcessState(child) != 'Z'; ++wait) {
        ASSERT_LT(wait, 2000) << "the first thread never ended";
        usleep(1000);
    }
    EXPECT_EQ(Lookup(static_cast<ProcessId>(child), program_invocation_short_name),
              static_cast<ProcessId>(child));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST_P(ProcSourceTest, ThreadIsNotAnEntry) {
    std::mutex mutex;
    std::condition_variable changed;
    pid_t tid = 0;
    bool done = false;
    std::thread thread([&] {
        std::unique_lock<std::mutex> lock(mutex);
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        changed.notify_all();
        changed.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return tid != 0; });
    }
    EXPECT_NE(Lookup(static_cast<ProcessId>(tid), program_invocation_short_name),
              static_cast<ProcessId>(tid));
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_all();
    thread.join();
}

// Clocks that steer the adaptive source down each road, whatever this
// host's costs are.
std::int64_t ticks = 0;
// Every system call costs nothing: it probes at once.
std::int64_t StoppedClock() { return 0; }
// Every system call costs a second: it lists to the end.
std::int64_t CrawlingClock() { return ticks += 1000000000; }
// Every system call costs 5 µs: a listing too long for one read is
// sampled, and goes on.
std::int64_t SteadyClock() { return ticks += 5000; }
// The system call it times first costs 5 µs, and every later one a
// second: a listing too long for one read probes after its sample.
std::int64_t DearSampleClock() { return ticks += ticks < 10000 ? 5000 : 1000000000; }

// Idle processes, as many as asked, until the object ends.
class Crowd {
public:
    explicit Crowd(int size) {
        for (int i = 0; i < size; ++i) {
            const pid_t child = fork();
            if (child == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (;;) pause();
            }
            if (child > 0) children_.push_back(child);
        }
    }
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;
    ~Crowd() {
        for (pid_t child : children_) kill(child, SIGKILL);
        for (pid_t child : children_) waitpid(child, nullptr, 0);
    }
    const std::vector<pid_t>& pids() const { return children_; }

private:
    std::vector<pid_t> children_;
};

const std::pair<const char*, ProcSource::Clock> adaptive_roads[] = {
    {"probing at once", StoppedClock},
    {"listing to the end", CrawlingClock},
    {"listing on after its sample", SteadyClock},
    {"probing after its sample", DearSampleClock},
    {"as this host's costs say", ProcSource::MonotonicNanoseconds}};

TEST(ProcSource, StrategiesDeliverTheSameEntries) {
    // Every short identifier in use now, and some that may not be.
    std::vector<std::uint32_t> seek_values = {0, 1, 0xFFFF, 0x10000};
    DIR* proc = opendir("/proc");
    ASSERT_NE(proc, nullptr);
    while (const dirent* record = readdir(proc))
        if (const unsigned long pid = std::strtoul(record->d_name, nullptr, 10))
            seek_values.push_back(ShortId(static_cast<ProcessId>(pid)));
    closedir(proc);
    // Only a listing too long for one read is sampled, and may give way to
    // probing after it; some of the crowd come after the sample.
    const Crowd crowd(500);
    for (std::size_t i = 0; i < crowd.pids().size(); i += 50)
        seek_values.push_back(ShortId(static_cast<ProcessId>(crowd.pids()[i])));
    // Processes may start and end between two snapshots; compare only when
    // two listings around the probe agree.
    for (std::uint32_t seek : seek_values) {
        for (int attempt = 0;; ++attempt) {
            const Walk listed = Entries(Strategy::kListDirectory, seek);
            const Walk probed = Entries(Strategy::kProbeCandidates, seek);
            std::vector<Walk> adaptive;
            for (const auto& road : adaptive_roads) {
                ticks = 0;
                adaptive.push_back(Entries(Strategy::kAdaptive, seek, road.second));
            }
            if (listed == Entries(Strategy::kListDirectory, seek)) {
                EXPECT_EQ(probed, listed) << "short identifier " << seek;
                for (std::size_t road = 0; road < adaptive.size(); ++road)
                    EXPECT_EQ(adaptive[road], listed)
                        << "short identifier " << seek << ", adaptive, " << adaptive_roads[road].first;
                break;
            }
            ASSERT_LT(attempt, 20) << "the process list never held still";
        }
    }
}

TEST(ProcSource, WhereTheProbeIsFilteredOrRefusedTheEntriesStand) {
    // A child in a sandbox that filters the probe's system call out (ENOSYS:
    // the listing takes over) or refuses it, as a security module may
    // (EPERM: every candidate is read).
    for (const int error : {ENOSYS, EPERM}) {
        const pid_t child = fork();
        if (child == 0) {
            sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getsid, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
                _exit(77);
            const std::uint32_t seek = ShortId(static_cast<ProcessId>(getpid()));
            // Compare only when two listings around the others agree.
            for (int attempt = 0; attempt < 20; ++attempt) {
                const Walk listed = Entries(Strategy::kListDirectory, seek);
                const Walk probed = Entries(Strategy::kProbeCandidates, seek);
                const Walk adaptive = Entries(Strategy::kAdaptive, seek);
                if (listed != Entries(Strategy::kListDirectory, seek)) continue;
                _exit(listed.empty() || probed != listed || adaptive != listed ? 1 : 0);
            }
            _exit(2);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no seccomp filter here";
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << "errno " << error << " (1: the roads differ; 2: the listing never held still)";
    }
}

TEST(ProcSource, ProcOfAnotherPidNamespaceIsListedOnEveryRoad) {
    // Probes would ask this namespace about identifiers of the one /proc
    // shows, and find nothing.
    const Crowd crowd(500);
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWPID) != 0) _exit(77);
        const pid_t first = fork();
        if (first == 0) {
            char self[16] = "";
            if (readlink("/proc/self", self, sizeof self - 1) <= 0) _exit(2);
            const std::uint32_t seek = ShortId(static_cast<ProcessId>(std::strtoul(self, nullptr, 10)));
            for (int attempt = 0; attempt < 20; ++attempt) {
                const Walk listed = Entries(Strategy::kListDirectory, seek);
                bool same = !listed.empty() && Entries(Strategy::kProbeCandidates, seek) == listed;
                for (const auto& road : adaptive_roads) {
                    ticks = 0;
                    same = same && Entries(Strategy::kAdaptive, seek, road.second) == listed;
                }
                if (listed != Entries(Strategy::kListDirectory, seek)) continue;
                _exit(same ? 0 : 1);
            }
            _exit(2);
        }
        int status = 0;
        _exit(first > 0 && waitpid(first, &status, 0) == first && WIFEXITED(status) ? WEXITSTATUS(status) : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs root to make a PID namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the roads differ; 2: the listing never held still";
}

TEST(ProcSource, NothingIsReadWhenProcIsNotProcfs) {
    // Hide procfs under a tmpfs in a private mount namespace of a child
    // process: first empty, then holding folders that look like processes,
    // as many as make a listing that is sampled before /proc is checked.
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            _exit(77);
        ProcSource empty;
        if (empty.TakeSnapshot(0) || empty.failure() != ENOENT) _exit(1);
        for (int pid = 1; pid <= 600; ++pid) {
            const std::string folder = "/proc/" + std::to_string(pid);
            FILE* stat = mkdir(folder.c_str(), 0755) == 0 ? std::fopen((folder + "/stat").c_str(), "w") : nullptr;
            if (stat == nullptr) _exit(77);
            std::fprintf(stat, "%d (fake) S 1", pid);
            std::fclose(stat);
        }
        for (const auto& road : adaptive_roads) {
            ticks = 0;
            ProcSource source(Strategy::kAdaptive, road.second);
            ProcessEntry entry{};
            if (source.TakeSnapshot(1)) {
                if (source.FirstEntry(entry)) _exit(2);
                source.ReleaseSnapshot();
            }
            if (source.failure() != ENOENT) _exit(3);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs root to mount over /proc";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a snapshot of the empty tmpfs; 2: an entry; 3: no ENOENT";
}

}  // namespace
}  // namespace varrokit
