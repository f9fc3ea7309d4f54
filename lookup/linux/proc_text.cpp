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
    return true;
}

std::size_t LongNameFromCmdline(const char* command_name, std::size_t command_name_length,
                                const char* cmdline, std::size_t cmdline_length,
                                const char** long_name) {
    if (command_name_length != kCommandNameCut) return 0;
    const char* argv0_end = static_cast<const char*>(std::memchr(cmdline, '\0', cmdline_length));
    if (argv0_end == nullptr) argv0_end = cmdline + cmdline_length;
    const std::size_t argv0_length = static_cast<std::size_t>(argv0_end - cmdline);
    const char* slash = FindLast(cmdline, argv0_length, '/');
    const char* file_name = slash != nullptr ? slash + 1 : cmdline;
    const std::size_t file_name_length = static_cast<std::size_t>(argv0_end - file_name);
    if (file_name_length <= command_name_length ||
        std::memcmp(file_name, command_name, command_name_length) != 0)
        return 0;
    *long_name = file_name;
    return file_name_length;
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
