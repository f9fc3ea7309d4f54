// The matching rule and the process-list source it reads from.
//
// Nothing in this header knows about Perl or about any operating system: a
// source delivers ProcessEntry values, and the rule picks one identifier.
#ifndef VARROKIT_LOOKUP_PROCESS_MATCH_H
#define VARROKIT_LOOKUP_PROCESS_MATCH_H

#include <cstdint>

namespace varrokit {

// A process identifier as the platform reports it (a DWORD on Windows).
using ProcessId = std::uint32_t;

// Longest executable path an entry may carry, not counting the terminator
// (MAX_PATH less one on Windows).
constexpr unsigned kMaxExePathLength = 259;

// One running process as the rule sees it. exe_path points into storage that
// the source owns; it stays valid only until the source's next call.
struct ProcessEntry {
    ProcessId pid;
    const char* exe_path;
};

// A snapshot of the running processes, walked once per lookup.
//
// The calls come in this order: TakeSnapshot; if it succeeded, FirstEntry,
// then NextEntry until an entry call returns false, then ReleaseSnapshot
// exactly once. A false from an entry call ends the walk whether the list is
// exhausted or the platform failed.
class ProcessListSource {
public:
    // seek_pid is the short identifier being looked for. A source may leave
    // out every entry whose short identifier differs from it, because the
    // rule would pass over such entries anyway; it must keep the order of
    // the entries it does deliver.
    virtual bool TakeSnapshot(std::uint32_t seek_pid) = 0;
    virtual bool FirstEntry(ProcessEntry& entry) = 0;
    virtual bool NextEntry(ProcessEntry& entry) = 0;
    virtual void ReleaseSnapshot() = 0;

protected:
    ~ProcessListSource() = default;
};

// The low 16 bits of a process identifier.
constexpr std::uint32_t ShortId(ProcessId pid) { return pid & 0xFFFFu; }

// The part of a path after its last backslash, or the whole path. Only the
// backslash separates: the rule is the Windows one on every platform.
const char* BaseName(const char* path);

// Equality of two NUL-terminated byte strings with the ASCII letters folded,
// whatever the current locale says.
bool EqualIgnoringAsciiCase(const char* a, const char* b);

// Walks one snapshot of the source and picks, among the entries whose short
// identifier equals seek_pid, the last whose base name equals the base name of
// seek_exe_name without regard to case, or else the first of them. Returns 0
// when none fits or no snapshot could be taken. seek_pid is not reduced to
// 16 bits, so a value above 0xFFFF matches nothing.
ProcessId MatchProcess(ProcessListSource& source, std::uint32_t seek_pid,
                       const char* seek_exe_name);

// MatchProcess over the running system's processes, through the source that
// the build chose for this platform. It leaves the caller's error state
// (errno, and the last-error value on Windows) as it found it, except when
// it returns 0 because the process list could not be read: then that state
// tells why.
ProcessId MatchWin9xPid(std::uint32_t seek_pid, const char* seek_exe_name);

}  // namespace varrokit

#endif
