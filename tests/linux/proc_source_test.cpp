#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "proc_source.h"
#include "source_contract.h"

namespace varrokit {

struct ProcSourceTraits {
    using Source = ProcSource;
    static void Prepare(Source&) {}
    static ProcessId OwnPid() { return static_cast<ProcessId>(getpid()); }
    static std::string OwnExeName() { return program_invocation_short_name; }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Linux, ProcessSourceContract, ProcSourceTraits);

namespace {

ProcessId Lookup(ProcessId pid, const std::string& name) {
    ProcSource source;
    return MatchProcess(source, ShortId(pid), name.c_str());
}

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

TEST(ProcSource, FindsNamesWithSpacesAndParentheses) {
    NamedChild child("sp ace (1) x");
    ASSERT_GT(child.pid(), 0u);
    EXPECT_EQ(Lookup(child.pid(), "sp ace (1) x"), child.pid());
    EXPECT_EQ(Lookup(child.pid(), "C:\\bin\\SP ACE (1) X"), child.pid());
}

TEST(ProcSource, FindsLongNamesByTheirWholeFileName) {
    NamedChild child("an-executable-name-well-beyond-fifteen-bytes");
    ASSERT_GT(child.pid(), 0u);
    ProcSource source;
    ASSERT_TRUE(source.TakeSnapshot(ShortId(child.pid())));
    ProcessEntry entry{};
    std::string name;
    for (bool more = source.FirstEntry(entry); more; more = source.NextEntry(entry))
        if (entry.pid == child.pid()) name = entry.exe_path;
    source.ReleaseSnapshot();
    EXPECT_EQ(name, "an-executable-name-well-beyond-fifteen-bytes");
}

TEST(ProcSource, ZombieIsNotAnEntry) {
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

TEST(ProcSource, ThreadIsNotAnEntry) {
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

TEST(ProcSource, NoSnapshotWhenProcIsNotProcfs) {
    // Hide procfs in a private mount namespace of a child process.
    const pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            _exit(77);
        ProcSource source;
        _exit(source.TakeSnapshot(0) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs root to mount over /proc";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace varrokit
