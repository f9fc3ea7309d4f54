#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "source_contract.h"
#include "toolhelp_source.h"

#undef Process32First
#undef Process32Next

namespace varrokit {
namespace {

std::string OwnExePath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

}  // namespace

struct ToolhelpSourceTraits {
    using Source = ToolhelpSource;
    static Source Make() { return ToolhelpSource(); }
    static ProcessId OwnPid() { return GetCurrentProcessId(); }
    static std::string OwnExeName() { return BaseName(OwnExePath().c_str()); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Windows, ProcessSourceContract, ToolhelpSourceTraits);

namespace {

using Walk = std::vector<std::pair<ProcessId, std::string>>;

ProcessId Lookup(ProcessId pid, const std::string& name) {
    ToolhelpSource source;
    return MatchProcess(source, ShortId(pid), name.c_str());
}

Walk DirectToolhelpWalk() {
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

Walk SourceWalk() {
    Walk walk;
    ToolhelpSource source;
    if (!source.TakeSnapshot(0)) return walk;
    ProcessEntry entry{};
    for (bool more = source.FirstEntry(entry); more; more = source.NextEntry(entry))
        walk.emplace_back(entry.pid, entry.exe_path);
    source.ReleaseSnapshot();
    return walk;
}

TEST(ToolhelpSource, FindsItselfByItsFullPath) {
    EXPECT_EQ(Lookup(GetCurrentProcessId(), OwnExePath()), GetCurrentProcessId());
}

TEST(ToolhelpSource, DeliversEntriesInToolhelpOrderUnfiltered) {
    // Processes may come and go between two snapshots; compare only when two
    // direct walks around the source's walk agree.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const Walk before = DirectToolhelpWalk();
        const Walk delivered = SourceWalk();
        const Walk after = DirectToolhelpWalk();
        if (before != after) continue;
        ASSERT_FALSE(before.empty());
        EXPECT_EQ(delivered, before);
        return;
    }
    GTEST_SKIP() << "the process list never held still";
}

TEST(ToolhelpSource, FindsAChildWhileItExists) {
    const std::string exe = OwnExePath();
    std::string command = "\"" + exe + "\" --gtest_list_tests";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, nullptr, &startup, &child));
    const ProcessId pid = child.dwProcessId;
    const std::string name = BaseName(exe.c_str());
    EXPECT_EQ(Lookup(pid, name), pid);

    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_NE(Lookup(pid, name), pid);
}

}  // namespace
}  // namespace varrokit
