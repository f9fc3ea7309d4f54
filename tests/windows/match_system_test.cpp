// MatchWin9xPid as Perl calls it, on a system that lacks Toolhelp (Windows
// NT 4.0) or both interfaces: the names are made to fail to resolve where
// they are looked up.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "process_walks.h"
#include "system_interfaces.h"

namespace varrokit {
namespace {

FARPROC WINAPI WithoutToolhelp(HMODULE module, LPCSTR name) {
    const bool toolhelp = std::strcmp(name, "CreateToolhelp32Snapshot") == 0 ||
                          std::strncmp(name, "Process32", 9) == 0;
    return toolhelp ? nullptr : GetProcAddress(module, name);
}

FARPROC WINAPI WithNeither(HMODULE, LPCSTR) { return nullptr; }

LONG WINAPI AccessDenied(ULONG, PVOID, ULONG, PULONG) { return static_cast<LONG>(0xC0000022); }

ProcessId Match(const SystemInterfaces& interfaces, ProcessId pid, const std::string& name) {
    return MatchThrough(interfaces, ShortId(pid), name.c_str());
}

TEST(MatchWithoutToolhelp, FindsProcessesThroughTheNtInterface) {
    const SystemInterfaces nt4 = FindSystemInterfaces(WithoutToolhelp);
    ASSERT_FALSE(nt4.toolhelp.complete());
    ASSERT_NE(nt4.nt_query_system_information, nullptr);

    const std::string own_path = OwnExePath();
    errno = EINTR;
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Match(nt4, GetCurrentProcessId(), own_path), GetCurrentProcessId());
    EXPECT_EQ(errno, EINTR) << "a lookup that could read the list keeps errno";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "and the last error";

    Child child;
    ASSERT_TRUE(child.started());
    EXPECT_EQ(Match(nt4, child.pid(), OwnExeName()), child.pid());
    child.End();
    EXPECT_NE(Match(nt4, child.pid(), OwnExeName()), child.pid());
}

TEST(MatchWithoutToolhelp, OneMissingNameIsNoToolhelp) {
    SystemInterfaces partial = FindSystemInterfaces();
    partial.toolhelp.process_next = nullptr;
    EXPECT_EQ(Match(partial, GetCurrentProcessId(), OwnExeName()), GetCurrentProcessId());
}

TEST(MatchWithoutToolhelp, SaysWhyWhenTheListCannotBeRead) {
    SystemInterfaces denied;
    denied.nt_query_system_information = AccessDenied;
    const std::string own_name = OwnExeName();
    errno = 0;
    SetLastError(0);
    EXPECT_EQ(Match(denied, GetCurrentProcessId(), own_name), 0u);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    const SystemInterfaces neither = FindSystemInterfaces(WithNeither);
    errno = 0;
    SetLastError(0);
    EXPECT_EQ(Match(neither, GetCurrentProcessId(), own_name), 0u);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

}  // namespace
}  // namespace varrokit
