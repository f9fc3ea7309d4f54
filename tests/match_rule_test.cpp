#include <gtest/gtest.h>

#include "fake_process_source.h"
#include "process_match.h"

namespace varrokit {
namespace {

// Identifiers written as high and low halves, so Pid(1, 4) has short id 4.
constexpr ProcessId Pid(std::uint32_t high, std::uint32_t low) { return high << 16 | low; }

ProcessId Match(std::vector<FakeProcessSource::Process> processes, std::uint32_t seek_pid,
                const char* name) {
    FakeProcessSource source(std::move(processes));
    return MatchProcess(source, seek_pid, name);
}

TEST(MatchRule, NameDecidesAmongSharedShortIdsElseFirstWins) {
    const std::vector<FakeProcessSource::Process> two = {{Pid(1, 4), "C:\\WINDOWS\\A.EXE"},
                                                         {Pid(2, 4), "B.EXE"}};
    EXPECT_EQ(Match(two, 4, "a.exe"), Pid(1, 4));
    EXPECT_EQ(Match(two, 4, "D:\\TOOLS\\b.exe"), Pid(2, 4)) << "later name match replaces fallback";
    EXPECT_EQ(Match(two, 4, "c.exe"), Pid(1, 4)) << "no name fits: the first match";
    EXPECT_EQ(Match(two, 5, "a.exe"), 0u);
}

TEST(MatchRule, LastNameMatchWins) {
    EXPECT_EQ(Match({{Pid(1, 4), "x.exe"}, {Pid(2, 4), "X.EXE"}, {Pid(3, 4), "y.exe"}}, 4, "x.exe"),
              Pid(2, 4));
}

TEST(MatchRule, SoughtValueIsNotReducedTo16Bits) {
    const std::vector<FakeProcessSource::Process> two = {{Pid(1, 4), "A.EXE"}, {Pid(2, 4), "B.EXE"}};
    EXPECT_EQ(Match(two, Pid(1, 4), "a.exe"), 0u);
    EXPECT_EQ(Match(two, Pid(1, 4), "c.exe"), 0u);
    EXPECT_EQ(Match({{0xFFFFFFFFu, "A.EXE"}}, 0xFFFFFFFFu, "a.exe"), 0u);
    EXPECT_EQ(Match({{0xFFFFFFFFu, "A.EXE"}}, 0xFFFF, "a.exe"), 0xFFFFFFFFu);
}

TEST(MatchRule, ChosenIdentifierZeroCountsAsNothingChosen) {
    EXPECT_EQ(Match({{Pid(0, 0), "Idle"}, {Pid(1, 0), "b.exe"}}, 0, "Idle"), Pid(1, 0));
    EXPECT_EQ(Match({{Pid(0, 0), "Idle"}}, 0, "Idle"), 0u);
}

TEST(MatchRule, OnlyTheBackslashSeparatesBaseNames) {
    const std::vector<FakeProcessSource::Process> two = {{Pid(1, 4), "C:\\dir\\a.exe"},
                                                         {Pid(2, 4), "C:/dir/a.exe"}};
    EXPECT_EQ(Match(two, 4, "C:/dir/a.exe"), Pid(2, 4));
    EXPECT_EQ(Match(two, 4, "a.exe"), Pid(1, 4));
    EXPECT_EQ(Match(two, 4, "C:a.exe"), Pid(1, 4)) << "a colon does not separate: no match";
}

TEST(MatchRule, EmptyBaseNameMatchesOnlyEmptyBaseNames) {
    EXPECT_EQ(Match({{Pid(1, 4), "a.exe"}, {Pid(2, 4), "b.exe"}}, 4, "C:\\dir\\"), Pid(1, 4));
    EXPECT_EQ(Match({{Pid(1, 4), "a.exe"}, {Pid(2, 4), "C:\\odd\\"}, {Pid(3, 4), "b.exe"}}, 4,
                    "dir\\"),
              Pid(2, 4));
    EXPECT_EQ(Match({{Pid(1, 4), "a.exe"}, {Pid(2, 4), ""}}, 4, ""), Pid(2, 4));
}

TEST(MatchRule, CaseFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualIgnoringAsciiCase("Perl.EXE", "pERL.exe"));
    EXPECT_FALSE(EqualIgnoringAsciiCase("\xC4.exe", "\xE4.exe")) << "Latin-1 letters stay apart";
    EXPECT_FALSE(EqualIgnoringAsciiCase("@", "`")) << "neighbours of the letters do not fold";
    EXPECT_FALSE(EqualIgnoringAsciiCase("[", "{"));
    EXPECT_FALSE(EqualIgnoringAsciiCase("a", "ab"));
    EXPECT_FALSE(EqualIgnoringAsciiCase("ab", "a"));
    EXPECT_TRUE(EqualIgnoringAsciiCase("", ""));
}

TEST(MatchRule, LongestPathIsComparedWhole) {
    const std::string long_name(kMaxExePathLength, 'n');
    EXPECT_EQ(Match({{Pid(1, 4), "x"}, {Pid(2, 4), long_name}}, 4, long_name.c_str()), Pid(2, 4));
}

TEST(SourceProtocol, SnapshotIsReleasedExactlyOnceAfterTheWalk) {
    FakeProcessSource source({{Pid(1, 4), "a"}, {Pid(1, 5), "b"}, {Pid(2, 4), "c"}});
    EXPECT_EQ(MatchProcess(source, 4, "c"), Pid(2, 4));
    EXPECT_EQ(source.snapshots_taken, 1);
    EXPECT_EQ(source.last_seek_pid, 4u) << "the source may narrow its snapshot";
    EXPECT_EQ(source.first_entry_calls, 1);
    EXPECT_EQ(source.delivered, 3u);
    EXPECT_EQ(source.releases, 1);
}

TEST(SourceProtocol, NoSnapshotMeansNothingWalkedOrReleased) {
    FakeProcessSource source({{Pid(1, 4), "a"}});
    source.RefuseSnapshots();
    EXPECT_EQ(MatchProcess(source, 4, "a"), 0u);
    EXPECT_EQ(source.first_entry_calls, 0);
    EXPECT_EQ(source.releases, 0);
}

TEST(SourceProtocol, EmptyListIsReleasedAndGivesZero) {
    FakeProcessSource source;
    EXPECT_EQ(MatchProcess(source, 0, ""), 0u);
    EXPECT_EQ(source.releases, 1);
}

TEST(SourceProtocol, EarlyEndKeepsTheChoiceSoFar) {
    FakeProcessSource source({{Pid(1, 4), "a"}, {Pid(2, 4), "b"}, {Pid(3, 4), "b"}});
    source.FailAfter(2);
    EXPECT_EQ(MatchProcess(source, 4, "b"), Pid(2, 4));
    EXPECT_EQ(source.releases, 1);
}

}  // namespace
}  // namespace varrokit
