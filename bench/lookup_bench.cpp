// Measures the cost of one lookup against N running processes, for the
// library's rule and for the ways one could do without it.
//
//   lookup_bench N [-- COMMAND...]...
//   lookup_bench --serve WAY SEEK NAME   makes lookups one way, as a command
//   lookup_bench --system-call           the cost of one getppid, in µs
//
// Starts N idle children (inside a fresh PID namespace, as root, with their
// identifiers spread over the range that pid_max allows), then runs each
// command with the sought short identifier and name as arguments. A command
// prints "ready", or "-" when it cannot run here; then, for each number K it
// reads, it makes K lookups and prints the last answer and the microseconds
// one lookup took. lookup_bench prints one line: N, then each command's
// median cost of one lookup, or "-".
//
// Every lookup is measured in a process of the same standing, a child of
// the one that started the idle processes (a traced listing of /proc cost
// that one a fifth less than its children), and in the same rounds,
// taking turns, so that a host whose speed drifts moves them all alike.
//
// The ways of --serve: library (MatchWin9xPid); full-walk (the listing,
// reading names only where the short identifier fits) and probe-all (the
// 64 candidates), the two floors the library chooses between, both through
// its own source; naive-walk, what one would write without the library;
// and bare-probe, probing with nothing else: pidfd_open on each candidate
// and the stat read of those in use.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "proc_source.h"
#include "process_match.h"

namespace {

using varrokit::ProcessId;

bool SetNextPid(std::uint32_t pid) {
    const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
    if (fd < 0) return false;
    const std::string value = std::to_string(pid - 1);
    const bool ok = write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    close(fd);
    return ok;
}

std::uint32_t PidMax() {
    FILE* file = std::fopen("/proc/sys/kernel/pid_max", "r");
    unsigned long value = 32768;
    if (file != nullptr) {
        if (std::fscanf(file, "%lu", &value) != 1) value = 32768;
        std::fclose(file);
    }
    return static_cast<std::uint32_t>(value);
}

std::vector<pid_t> StartIdleChildren(int count, bool spread) {
    std::vector<pid_t> children;
    const std::uint32_t range = PidMax();
    for (int i = 0; i < count; ++i) {
        // Leave the low identifiers to the namespace's own first processes.
        if (spread) SetNextPid(1000 + static_cast<std::uint32_t>(i) * ((range - 2000) / count));
        const pid_t child = fork();
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;) pause();
        }
        if (child < 0) break;
        children.push_back(child);
    }
    return children;
}

// Makes the given number of lookups and returns the microseconds one took;
// ends the benchmark if one gives a wrong answer.
using Measure = std::function<double(int calls)>;

[[noreturn]] void WrongAnswer() {
    std::fprintf(stderr, "a lookup gave a wrong answer\n");
    std::exit(1);
}

// The median over rounds of the cost of one call, in microseconds, for
// each measure. In each round the measures take turns in an order drawn
// afresh (from a fixed seed, so that runs compare), so that what one leaves
// behind falls on each of the others alike: the work it left the kernel,
// and the kernel's caches, which a listing of /proc finds warm after
// another listing and cold after lookups that probed (a third dearer with
// 800 processes, traced). In a fixed cycle each measure would always
// follow the same one.
std::vector<double> MedianMicros(const std::vector<Measure>& measures) {
    constexpr int kRounds = 15;
    std::vector<int> calls(measures.size(), 1);
    std::vector<std::vector<double>> rounds(measures.size());
    // Rounds of about 20 ms, so that the clock's resolution does not count.
    for (std::size_t i = 0; i < measures.size(); ++i)
        while (measures[i](calls[i]) * calls[i] < 20000) calls[i] *= 2;
    std::vector<std::size_t> order(measures.size());
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 draw(20261211);
    for (int round = 0; round < kRounds; ++round) {
        std::shuffle(order.begin(), order.end(), draw);
        for (std::size_t i : order) rounds[i].push_back(measures[i](calls[i]));
    }
    std::vector<double> medians;
    for (auto& times : rounds) {
        std::nth_element(times.begin(), times.begin() + kRounds / 2, times.end());
        medians.push_back(times[kRounds / 2]);
    }
    return medians;
}

// What a caller without the library would write: read every process's name,
// then apply the rule.
ProcessId NaiveWalk(std::uint32_t seek_pid, const char* seek_name) {
    ProcessId result = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    while (const dirent* record = readdir(proc)) {
        const unsigned long pid = std::strtoul(record->d_name, nullptr, 10);
        if (pid == 0) continue;
        char path[64], text[1024];
        std::snprintf(path, sizeof path, "/proc/%lu/stat", pid);
        FILE* file = std::fopen(path, "r");
        if (file == nullptr) continue;
        const size_t size = std::fread(text, 1, sizeof text - 1, file);
        std::fclose(file);
        text[size] = '\0';
        const char* open = std::strchr(text, '(');
        const char* close = std::strrchr(text, ')');
        if (open == nullptr || close == nullptr || close < open) continue;
        const std::string name(open + 1, close);
        if ((pid & 0xFFFF) != seek_pid) continue;
        if (result == 0 || strcasecmp(name.c_str(), seek_name) == 0) result = static_cast<ProcessId>(pid);
    }
    closedir(proc);
    return result;
}

// Probing as one would write it bare: pidfd_open on each candidate (which
// tells a process from a thread by itself), and for each in use, open, read
// and close its stat file, then the rule. It checks neither /proc nor the
// process's state, as the library must. The library probes with getsid,
// which makes no descriptor, and tells a thread by its stat instead.
ProcessId BareProbe(std::uint32_t seek_pid, const char* seek_name) {
    ProcessId result = 0;
    for (ProcessId candidate = seek_pid != 0 ? seek_pid : 0x10000u; candidate < (1u << 22);
         candidate += 0x10000u) {
        const long pidfd = syscall(SYS_pidfd_open, static_cast<pid_t>(candidate), 0u);
        if (pidfd < 0) continue;
        close(static_cast<int>(pidfd));
        char path[32], text[1024];
        std::snprintf(path, sizeof path, "/proc/%u/stat", candidate);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const ssize_t size = read(fd, text, sizeof text - 1);
        close(fd);
        if (size <= 0) continue;
        text[size] = '\0';
        const char* open_paren = std::strchr(text, '(');
        const char* close_paren = std::strrchr(text, ')');
        if (open_paren == nullptr || close_paren == nullptr || close_paren < open_paren) continue;
        const std::string name(open_paren + 1, close_paren);
        if (result == 0 || strcasecmp(name.c_str(), seek_name) == 0) result = candidate;
    }
    return result;
}

// A command that makes lookups when asked, through two pipes.
class Peer {
public:
    Peer(std::vector<std::string> words, std::uint32_t seek_pid, const char* name) {
        words.push_back(std::to_string(seek_pid));
        words.push_back(name);
        int to_peer[2], from_peer[2];
        if (pipe2(to_peer, O_CLOEXEC) != 0 || pipe2(from_peer, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(to_peer[0], STDIN_FILENO);
            dup2(from_peer[1], STDOUT_FILENO);
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(&word[0]);
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(to_peer[0]);
        close(from_peer[1]);
        to_ = fdopen(to_peer[1], "w");
        from_ = fdopen(from_peer[0], "r");
        char word[16] = "";
        ready_ = std::fscanf(from_, "%15s", word) == 1 && std::strcmp(word, "ready") == 0;
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() {
        // The command ends when its input does.
        if (to_ != nullptr) std::fclose(to_);
        if (from_ != nullptr) std::fclose(from_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }
    Measure Lookups(ProcessId expected) {
        return [this, expected](int calls) {
            std::fprintf(to_, "%d\n", calls);
            std::fflush(to_);
            unsigned long answer = 0;
            double micros = 0;
            if (std::fscanf(from_, "%lu %lf", &answer, &micros) != 2 || answer != expected) WrongAnswer();
            return micros;
        };
    }

private:
    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
    bool ready_ = false;
};

// Makes lookups one way for lookup_bench; false when there is no such way.
bool Serve(const char* way, std::uint32_t seek, const char* name) {
    using Strategy = varrokit::ProcSource::Strategy;
    std::function<ProcessId()> lookup;
    if (std::strcmp(way, "library") == 0) {
        lookup = [=] { return varrokit::MatchWin9xPid(seek, name); };
    } else if (std::strcmp(way, "full-walk") == 0 || std::strcmp(way, "probe-all") == 0) {
        const Strategy strategy = way[0] == 'f' ? Strategy::kListDirectory : Strategy::kProbeCandidates;
        lookup = [=] {
            varrokit::ProcSource source(strategy);
            return varrokit::MatchProcess(source, seek, name);
        };
    } else if (std::strcmp(way, "naive-walk") == 0) {
        lookup = [=] { return NaiveWalk(seek, name); };
    } else if (std::strcmp(way, "bare-probe") == 0) {
        lookup = [=] { return BareProbe(seek, name); };
    } else {
        return false;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int calls = 0;
    while (std::scanf("%d", &calls) == 1 && calls > 0) {
        ProcessId answer = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int call = 0; call < calls; ++call) answer = lookup();
        const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
        std::printf("%lu %.3f\n", static_cast<unsigned long>(answer), spent.count() / calls);
        std::fflush(stdout);
    }
    return true;
}

// How dear a system call is on this host, which decides the cheaper road.
double SystemCallMicros() {
    constexpr int kCalls = 200000;
    const auto start = std::chrono::steady_clock::now();
    for (int call = 0; call < kCalls; ++call) syscall(SYS_getppid);
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / kCalls;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--system-call") == 0) {
        std::printf("%.3f\n", SystemCallMicros());
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "--serve") == 0)
        return Serve(argv[2], static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)), argv[4]) ? 0 : 2;
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s N [-- COMMAND...]... | --serve WAY SEEK NAME | --system-call\n",
                     argv[0]);
        return 2;
    }
    std::vector<std::vector<std::string>> commands;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) commands.emplace_back();
        else if (!commands.empty()) commands.back().push_back(argv[i]);
    }
    const int count = std::atoi(argv[1]);
    const bool spread = getpid() == 1 && SetNextPid(300);
    const std::vector<pid_t> children = StartIdleChildren(count, spread);
    if (static_cast<int>(children.size()) != count) {
        std::fprintf(stderr, "could start only %zu processes\n", children.size());
        return 1;
    }

    // Look for one of the children by the name they all share.
    const ProcessId target = static_cast<ProcessId>(children[children.size() / 2]);
    const std::uint32_t seek = varrokit::ShortId(target);
    const char* name = program_invocation_short_name;
    std::vector<std::unique_ptr<Peer>> peers;
    for (const auto& command : commands) peers.push_back(std::make_unique<Peer>(command, seek, name));
    // Asked once every command runs, as they may be candidates too.
    const ProcessId expected = varrokit::MatchWin9xPid(seek, name);
    std::vector<Measure> measures;
    for (const auto& peer : peers)
        if (peer->ready()) measures.push_back(peer->Lookups(expected));
    const std::vector<double> micros = MedianMicros(measures);
    std::printf("%d", count);
    std::size_t next = 0;
    for (const auto& peer : peers) {
        if (peer->ready()) std::printf("\t%.2f", micros[next++]);
        else std::printf("\t-");
    }
    std::printf("\n");
    peers.clear();
    for (pid_t child : children) kill(child, SIGKILL);
    while (wait(nullptr) > 0) {
    }
    return 0;
}
