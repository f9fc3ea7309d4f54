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
};

// The command name lies between the first '(' and the last ')', since it may
// itself hold spaces, parentheses and newlines; the state follows the last
// ')' after one space. False when the text holds no such layout.
bool ParseProcStat(const char* text, std::size_t length, ProcStat& stat);

// A zombie or dead process no longer runs, though /proc still lists it.
inline bool IsRunningState(char state) { return state != 'Z' && state != 'X'; }

// The kernel cuts command names to this many bytes.
constexpr std::size_t kCommandNameCut = 15;

// When a command name was cut, the file name of argv[0] (the bytes after its
// last '/') usually holds the whole name. Returns that file name's length
// when it is longer than the cut name and starts with it, and 0 when the cut
// name is all there is. cmdline is the start of /proc/<pid>/cmdline; a
// file name is looked for only within it.
std::size_t LongNameFromCmdline(const char* command_name, std::size_t command_name_length,
                                const char* cmdline, std::size_t cmdline_length,
                                const char** long_name);

// The decimal value of a /proc directory name, or 0 when it is not all digits
// or does not fit a process identifier.
unsigned long ParseDecimalPid(const char* name);

}  // namespace varrokit

#endif
