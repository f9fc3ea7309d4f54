// Parsers for the text of /proc/<pid> files. They read only the bytes they
// are given, so a file cut short or holding odd names cannot lead them astray.
#ifndef VARROKIT_LOOKUP_LINUX_PROC_TEXT_H
#define VARROKIT_LOOKUP_LINUX_PROC_TEXT_H

#include <cstddef>

namespace varrokit {

// What the rule needs from /proc/<pid>/stat.
struct ProcStat {
    const char* command_name;  // not NUL-terminated
    std::size_t command_name_length;
    char state;  // 'R', 'S', 'Z', ...
    unsigned long thread_count;  // 0 when the text stops before it
    // False for a thread other than its process's first, which /proc
    // answers for by identifier but does not list: the only task the
    // kernel gives no exit signal (-1 in field 38). True when the text
    // stops before that field.
    bool leads_thread_group;
};

// The command name lies between the first '(' and the last ')', since it may
// itself hold spaces, parentheses and newlines; the state follows the last
// ')' after one space; the thread count is the 20th field and the exit
// signal the 38th. False when the text holds no such layout.
bool ParseProcStat(const char* text, std::size_t length, ProcStat& stat);

// A dead process no longer runs, though /proc may still list it. Nor does a
// zombie, unless only its first thread has ended: /proc shows a process
// whose first thread called pthread_exit as a zombie while the others run.
inline bool IsRunning(const ProcStat& stat) {
    return stat.state != 'X' && (stat.state != 'Z' || stat.thread_count > 1);
}

// The kernel cuts command names to this many bytes.
constexpr std::size_t kCommandNameCut = 15;

// When a command name was cut, the file name (the bytes after the last '/')
// of argv[0] usually holds the whole name. For a script started through
// "#!", argv[0] is the interpreter, and the script follows as argv[1], or as
// argv[2] after the one option a "#!" line may carry. Returns the length of
// the first of those file names that is longer than the cut name and starts
// with it, and 0 when the cut name is all there is. cmdline is the start of
// /proc/<pid>/cmdline; an argument cut off by its end is not used.
std::size_t LongNameFromCmdline(const char* command_name, std::size_t command_name_length,
                                const char* cmdline, std::size_t cmdline_length,
                                const char** long_name);

// The decimal value of a /proc directory name, or 0 when it is not all digits
// or does not fit a process identifier.
unsigned long ParseDecimalPid(const char* name);

}  // namespace varrokit

#endif
