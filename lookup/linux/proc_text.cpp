#include "proc_text.h"

#include <cstring>

namespace varrokit {

namespace {

const char* FindLast(const char* begin, std::size_t length, char wanted) {
    for (const char* p = begin + length; p != begin;) {
        if (*--p == wanted) return p;
    }
    return nullptr;
}

// The start of the field `count` fields after the one p is in, or end.
const char* SkipFields(const char* p, const char* end, int count) {
    for (int skipped = 0; skipped < count; ++skipped) {
        while (p < end && *p != ' ') ++p;
        while (p < end && *p == ' ') ++p;
    }
    return p;
}

unsigned long ParseUnsigned(const char* p, const char* end) {
    unsigned long value = 0;
    for (; p < end && *p >= '0' && *p <= '9' && value < 0xFFFFFFFFul; ++p)
        value = value * 10 + static_cast<unsigned long>(*p - '0');
    return value;
}

}  // namespace

bool ParseProcStat(const char* text, std::size_t length, ProcStat& stat) {
    const char* open = static_cast<const char*>(std::memchr(text, '(', length));
    if (open == nullptr) return false;
    const char* name = open + 1;
    const char* close = FindLast(name, length - static_cast<std::size_t>(name - text), ')');
    if (close == nullptr) return false;
    // ") S": a space and the state letter must follow.
    const char* end = text + length;
    if (end - close < 3 || close[1] != ' ') return false;
    stat.command_name = name;
    stat.command_name_length = static_cast<std::size_t>(close - name);
    stat.state = close[2];
    const char* const thread_count = SkipFields(close + 2, end, 20 - 3);
    stat.thread_count = ParseUnsigned(thread_count, end);
    const char* const exit_signal = SkipFields(thread_count, end, 38 - 20);
    stat.leads_thread_group = exit_signal == end || *exit_signal != '-';
    return true;
}

std::size_t LongNameFromCmdline(const char* command_name, std::size_t command_name_length,
                                const char* cmdline, std::size_t cmdline_length,
                                const char** long_name) {
    if (command_name_length != kCommandNameCut) return 0;
    constexpr int kArgumentsTried = 3;  // argv[0], or a "#!" script's path
    const char* argument = cmdline;
    const char* const end = cmdline + cmdline_length;
    for (int index = 0; index < kArgumentsTried && argument < end; ++index) {
        const char* argument_end = static_cast<const char*>(
            std::memchr(argument, '\0', static_cast<std::size_t>(end - argument)));
        // A process may overwrite its arguments; argv[0] alone may then run
        // to the end without a terminator. A later argument must be whole.
        if (argument_end == nullptr) {
            if (index != 0) return 0;
            argument_end = end;
        }
        const char* slash =
            FindLast(argument, static_cast<std::size_t>(argument_end - argument), '/');
        const char* file_name = slash != nullptr ? slash + 1 : argument;
        const std::size_t file_name_length = static_cast<std::size_t>(argument_end - file_name);
        if (file_name_length > command_name_length &&
            std::memcmp(file_name, command_name, command_name_length) == 0) {
            *long_name = file_name;
            return file_name_length;
        }
        argument = argument_end + 1;
    }
    return 0;
}

unsigned long ParseDecimalPid(const char* name) {
    // Identifiers stay below 2^22 on Linux; anything longer is no process.
    constexpr int kMaxDigits = 10;
    unsigned long value = 0;
    int digits = 0;
    for (; *name != '\0'; ++name, ++digits) {
        if (*name < '0' || *name > '9' || digits == kMaxDigits) return 0;
        value = value * 10 + static_cast<unsigned long>(*name - '0');
    }
    return value <= 0xFFFFFFFFul ? value : 0;
}

}  // namespace varrokit
