// The process-list source of Windows NT 3.51 and 4.0, which have no
// Toolhelp: ntdll's NtQuerySystemInformation(SystemProcessInformation).
#ifndef VARROKIT_LOOKUP_WINDOWS_NT_PROCESS_SOURCE_H
#define VARROKIT_LOOKUP_WINDOWS_NT_PROCESS_SOURCE_H

#include <cstddef>

#include "process_match.h"
#include "system_interfaces.h"
// After windows.h, which system_interfaces.h includes.
#include <winternl.h>

namespace varrokit {

// Delivers the processes in the order of the records, which is the order
// that Toolhelp on Windows 2000 and later reports, since it is built from
// the same query; names as that Toolhelp gives them (ANSI code page, at most
// 259 bytes, "[System Process]" for the idle process's empty name, and
// nothing for any other's).
//
// The query fills one buffer per snapshot, grown until the list fits and
// freed when the snapshot is released; nothing is allocated per entry.
class NtProcessSource final : public ProcessListSource {
public:
    // Holds a modest system's list at once; larger ones double it.
    static constexpr ULONG kFirstBufferBytes = 64 * 1024;
    // Past this, something is wrong with the system, not the list.
    static constexpr ULONG kLargestBufferBytes = 64 * 1024 * 1024;

    // A first buffer of a few bytes still grows (tests start that small).
    explicit NtProcessSource(NtQuerySystemInformationFunction query,
                             ULONG first_buffer_bytes = kFirstBufferBytes)
        : query_(query), first_buffer_bytes_(first_buffer_bytes > 64 ? first_buffer_bytes : 64) {}
    NtProcessSource(const NtProcessSource&) = delete;
    NtProcessSource& operator=(const NtProcessSource&) = delete;
    ~NtProcessSource() { FreeBuffer(); }

    bool TakeSnapshot(std::uint32_t seek_pid) override;
    bool FirstEntry(ProcessEntry& entry) override;
    bool NextEntry(ProcessEntry& entry) override;
    void ReleaseSnapshot() override;

    // The last-error value of a snapshot that could not be taken; 0 otherwise.
    DWORD failure() const { return failure_; }
    // The size of the buffer the last snapshot needed.
    ULONG buffer_bytes() const { return buffer_bytes_; }

private:
    bool Deliver(std::size_t offset, ProcessEntry& entry);
    bool ConvertName(const UNICODE_STRING& image_name, bool idle);
    void FreeBuffer();

    const NtQuerySystemInformationFunction query_;
    const ULONG first_buffer_bytes_;
    BYTE* buffer_ = nullptr;
    ULONG buffer_bytes_ = 0;
    // How much of the buffer the system filled: no record is read past it.
    std::size_t filled_bytes_ = 0;
    // Where the next record starts, or filled_bytes_ after the last one.
    std::size_t next_offset_ = 0;
    DWORD failure_ = 0;
    char name_[kMaxExePathLength + 1];
};

}  // namespace varrokit

#endif
