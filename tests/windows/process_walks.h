// What the Windows source tests share: this program's own name, walks of
// the process list to compare, and a child process to look for.
#ifndef VARROKIT_TESTS_WINDOWS_PROCESS_WALKS_H
#define VARROKIT_TESTS_WINDOWS_PROCESS_WALKS_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "system_interfaces.h"

#undef Process32First
#undef Process32Next

namespace varrokit {

inline std::string OwnExePath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

inline std::string OwnExeName() { return BaseName(OwnExePath().c_str()); }

using Walk = std::vector<std::pair<ProcessId, std::string>>;

// Toolhelp called directly, as the reference for every source.
inline Walk DirectToolhelpWalk() {
    Walk walk;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return walk;
    tagPROCESSENTRY32 record{};
    record.dwSize = sizeof record;
    for (BOOL more = Process32First(snapshot, &record); more; more = Process32Next(snapshot, &record))
        walk.emplace_back(record.th32ProcessID, record.szExeFile);
    CloseHandle(snapshot);
    return walk;
}

inline Walk SourceWalk(ProcessListSource& source) {
    Walk walk;
    if (!source.TakeSnapshot(0)) return walk;
    ProcessEntry entry{};
    for (bool more = source.FirstEntry(entry); more; more = source.NextEntry(entry))
        walk.emplace_back(entry.pid, entry.exe_path);
    source.ReleaseSnapshot();
    return walk;
}

// Processes may come and go between two snapshots: compares only when two
// direct walks around the source's walk agree.
template <class SourceWalkFunction>
void ExpectToolhelpWalk(SourceWalkFunction source_walk) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const Walk before = DirectToolhelpWalk();
        const Walk delivered = source_walk();
        const Walk after = DirectToolhelpWalk();
        if (before != after) continue;
        ASSERT_FALSE(before.empty());
        EXPECT_EQ(delivered, before);
        return;
    }
    GTEST_SKIP() << "the process list never held still";
}

// A second copy of this program, started suspended, and ended on demand.
class Child {
public:
    Child() {
        const std::string exe = OwnExePath();
        std::string command = "\"" + exe + "\" --gtest_list_tests";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE,
                                  CREATE_SUSPENDED, nullptr, nullptr, &startup, &process_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        End();
        if (started_) {
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
    }

    bool started() const { return started_; }
    ProcessId pid() const { return process_.dwProcessId; }
    void End() {
        if (!started_ || ended_) return;
        TerminateProcess(process_.hProcess, 0);
        WaitForSingleObject(process_.hProcess, INFINITE);
        ended_ = true;
    }

private:
    PROCESS_INFORMATION process_{};
    bool started_ = false;
    bool ended_ = false;
};

}  // namespace varrokit

#endif
