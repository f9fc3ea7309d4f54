#include <gtest/gtest.h>

#include <string>

#include "process_walks.h"
#include "source_contract.h"
#include "toolhelp_source.h"

namespace varrokit {

struct ToolhelpSourceTraits {
    using Source = ToolhelpSource;
    static Source Make() { return ToolhelpSource(FindSystemInterfaces().toolhelp); }
    static ProcessId OwnPid() { return GetCurrentProcessId(); }
    static std::string OwnExeName() { return varrokit::OwnExeName(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Windows, ProcessSourceContract, ToolhelpSourceTraits);

namespace {

ProcessId Lookup(ProcessId pid, const std::string& name) {
    ToolhelpSource source(FindSystemInterfaces().toolhelp);
    return MatchProcess(source, ShortId(pid), name.c_str());
}

TEST(ToolhelpSource, IsFoundAtRunTime) {
    EXPECT_TRUE(FindSystemInterfaces().toolhelp.complete());
}

TEST(ToolhelpSource, FindsItselfByItsFullPath) {
    EXPECT_EQ(Lookup(GetCurrentProcessId(), OwnExePath()), GetCurrentProcessId());
}

TEST(ToolhelpSource, DeliversEntriesInToolhelpOrderUnfiltered) {
    ExpectToolhelpWalk([] {
        ToolhelpSource source(FindSystemInterfaces().toolhelp);
        return SourceWalk(source);
    });
}

TEST(ToolhelpSource, FindsAChildWhileItExists) {
    Child child;
    ASSERT_TRUE(child.started());
    EXPECT_EQ(Lookup(child.pid(), OwnExeName()), child.pid());
    child.End();
    EXPECT_NE(Lookup(child.pid(), OwnExeName()), child.pid());
}

}  // namespace
}  // namespace varrokit
