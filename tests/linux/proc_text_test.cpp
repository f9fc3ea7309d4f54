#include <gtest/gtest.h>

#include <string>

#include "proc_text.h"

namespace varrokit {
namespace {

struct Parsed {
    bool ok;
    std::string name;
    char state;
};

Parsed Parse(const std::string& text) {
    ProcStat stat{};
    const bool ok = ParseProcStat(text.data(), text.size(), stat);
    return {ok, ok ? std::string(stat.command_name, stat.command_name_length) : "", stat.state};
}

TEST(ProcStatParser, NameRunsFromFirstOpenToLastCloseParenthesis) {
    Parsed p = Parse("42 (bash) S 1 42 42 0 -1");
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.name, "bash");
    EXPECT_EQ(p.state, 'S');

    p = Parse("7 (a) (b) ) Z 1 2");
    EXPECT_EQ(p.name, "a) (b) ");
    EXPECT_EQ(p.state, 'Z');

    p = Parse(std::string("9 (new\nline (x\0y) R 1", 22));
    EXPECT_EQ(p.name, std::string("new\nline (x\0y", 13));
    EXPECT_EQ(p.state, 'R');

    EXPECT_EQ(Parse("3 () S 1").name, "");
}

TEST(ProcStatParser, RejectsTextCutShortOrMalformed) {
    EXPECT_FALSE(Parse("").ok);
    EXPECT_FALSE(Parse("42 bash S").ok);
    EXPECT_FALSE(Parse("42 (bash").ok);
    EXPECT_FALSE(Parse("42 (bash)").ok);
    EXPECT_FALSE(Parse("42 (bash) ").ok);
    EXPECT_FALSE(Parse("42 (bash)S 1").ok);
    EXPECT_FALSE(Parse("42 )bash( S").ok);
}

bool Runs(const std::string& text) {
    ProcStat stat{};
    return ParseProcStat(text.data(), text.size(), stat) && IsRunning(stat);
}

TEST(ProcessState, ZombiesRunOnlyWhileOtherThreadsDo) {
    // Fields 4 to 19, then the thread count.
    const std::string before_threads = " 1 2 3 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 ";
    for (char state : std::string("RSDTtIWP"))
        EXPECT_TRUE(Runs("5 (x) " + std::string(1, state) + before_threads + "1 0 9")) << state;
    EXPECT_FALSE(Runs("5 (x) Z" + before_threads + "1 0 9")) << "a zombie";
    EXPECT_TRUE(Runs("5 (x) Z" + before_threads + "2 0 9")) << "its first thread ended, one runs";
    EXPECT_TRUE(Runs("5 (a) b) Z" + before_threads + "17")) << "the count is found after the name";
    EXPECT_FALSE(Runs("5 (x) X" + before_threads + "3 0 9")) << "a dead process";
    EXPECT_FALSE(Runs("5 (x) Z 1 2 3")) << "a zombie whose count is cut off";
}

bool LeadsThreadGroup(const std::string& text) {
    ProcStat stat{};
    return ParseProcStat(text.data(), text.size(), stat) && stat.leads_thread_group;
}

TEST(ProcessState, OnlyAThreadOtherThanTheFirstHasNoExitSignal) {
    // Fields 4 to 37 of a process with two threads, then the exit signal.
    std::string before_exit_signal = " 1 2 3 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 2";
    for (int field = 21; field <= 37; ++field) before_exit_signal += " 0";
    const std::string after = " 1 0 0 0 0 0\n";
    EXPECT_TRUE(LeadsThreadGroup("5 (x) S" + before_exit_signal + " 17" + after)) << "SIGCHLD";
    EXPECT_TRUE(LeadsThreadGroup("5 (x) S" + before_exit_signal + " 0" + after)) << "no signal";
    EXPECT_FALSE(LeadsThreadGroup("6 (x) S" + before_exit_signal + " -1" + after));
    EXPECT_FALSE(LeadsThreadGroup("6 (a) -1 b) S" + before_exit_signal + " -1" + after))
        << "fields are counted after the name";
    EXPECT_TRUE(LeadsThreadGroup("6 (x -1) S" + before_exit_signal)) << "cut before field 38";
}

std::string LongName(const std::string& command_name, const std::string& cmdline) {
    const char* name = nullptr;
    const std::size_t length = LongNameFromCmdline(command_name.data(), command_name.size(),
                                                   cmdline.data(), cmdline.size(), &name);
    return length != 0 ? std::string(name, length) : "";
}

TEST(LongCommandNames, ArgvZeroCompletesANameCutTo15Bytes) {
    using namespace std::string_literals;
    EXPECT_EQ(LongName("a-very-long-nam", "/opt/x/a-very-long-name\0--flag\0"s), "a-very-long-name");
    EXPECT_EQ(LongName("a-very-long-nam", "a-very-long-name with spaces"s),
              "a-very-long-name with spaces")
        << "argv[0] without a terminator runs to the end";
    EXPECT_EQ(LongName("a-very-long-nam", "./a-very-long-name/x\0"s), "")
        << "only the part after the last slash counts";
    EXPECT_EQ(LongName("a-very-long-nam", "/usr/bin/perl\0./a-very-long-name.pl\0"s),
              "a-very-long-name.pl")
        << "a script started through #! follows the interpreter";
    EXPECT_EQ(LongName("a-very-long-nam", "/usr/bin/perl\0-w\0/x/a-very-long-name.pl\0-v\0"s),
              "a-very-long-name.pl")
        << "or the one option of its #! line";
    EXPECT_EQ(LongName("a-very-long-nam", "/usr/bin/perl\0-w\0-x\0a-very-long-name.pl\0"s), "")
        << "no further than that";
    EXPECT_EQ(LongName("a-very-long-nam", "/usr/bin/perl\0a-very-long-name.p"s), "")
        << "nor to an argument cut off by the end of the text";
    EXPECT_EQ(LongName("a-very-long-nam", "/x/a-very-long-nam\0"s), "") << "no longer";
    EXPECT_EQ(LongName("short", "/x/short-and-more\0"s), "") << "names under 15 bytes are whole";
    EXPECT_EQ(LongName("a-very-long-nam", ""s), "");
}

TEST(ProcDirectoryNames, OnlyDecimalNamesAreProcesses) {
    EXPECT_EQ(ParseDecimalPid("1"), 1ul);
    EXPECT_EQ(ParseDecimalPid("4194303"), 4194303ul);
    EXPECT_EQ(ParseDecimalPid("4294967295"), 4294967295ul);
    EXPECT_EQ(ParseDecimalPid("4294967296"), 0ul);
    EXPECT_EQ(ParseDecimalPid("99999999999"), 0ul);
    EXPECT_EQ(ParseDecimalPid("self"), 0ul);
    EXPECT_EQ(ParseDecimalPid("12a"), 0ul);
    EXPECT_EQ(ParseDecimalPid(""), 0ul);
}

}  // namespace
}  // namespace varrokit
