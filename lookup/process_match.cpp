#include "process_match.h"

#include <cstring>

namespace varrokit {

const char* BaseName(const char* path) {
    const char* last_separator = std::strrchr(path, '\\');
    return last_separator != nullptr ? last_separator + 1 : path;
}

namespace {

unsigned char FoldAsciiCase(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

bool EqualIgnoringAsciiCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const unsigned char ca = FoldAsciiCase(static_cast<unsigned char>(*a));
        const unsigned char cb = FoldAsciiCase(static_cast<unsigned char>(*b));
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

ProcessId MatchProcess(ProcessListSource& source, std::uint32_t seek_pid,
                       const char* seek_exe_name) {
    ProcessId result = 0;
    if (!source.TakeSnapshot(seek_pid)) return result;

    const char* seek_base_name = BaseName(seek_exe_name);
    ProcessEntry entry{};
    for (bool more = source.FirstEntry(entry); more; more = source.NextEntry(entry)) {
        if (ShortId(entry.pid) != seek_pid) continue;
        // A chosen identifier of 0 reads as "nothing chosen yet", so a later
        // entry may still take its place without a name match.
        if (result == 0 || EqualIgnoringAsciiCase(BaseName(entry.exe_path), seek_base_name))
            result = entry.pid;
    }

    source.ReleaseSnapshot();
    return result;
}

}  // namespace varrokit
