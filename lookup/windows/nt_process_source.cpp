#include "nt_process_source.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace varrokit {

namespace {

using Record = SYSTEM_PROCESS_INFORMATION;

// The fields read sit at these offsets in 32-bit Windows on NT 3.51, 4.0,
// 2000 and XP alike; only where the thread records start moves between
// versions, so the walk goes by NextEntryOffset and never by a size.
static_assert(sizeof(void*) != 4 ||
                  (offsetof(Record, NextEntryOffset) == 0x00 &&
                   offsetof(Record, ImageName) + offsetof(UNICODE_STRING, Length) == 0x38 &&
                   offsetof(Record, ImageName) + offsetof(UNICODE_STRING, MaximumLength) == 0x3A &&
                   offsetof(Record, ImageName) + offsetof(UNICODE_STRING, Buffer) == 0x3C &&
                   offsetof(Record, UniqueProcessId) == 0x44),
              "SYSTEM_PROCESS_INFORMATION as 32-bit NT lays it out");

constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kStatusInfoLengthMismatch = 0xC0000004;
// The bytes of a record up to the last field read.
constexpr std::size_t kRecordBytesRead = offsetof(Record, UniqueProcessId) + sizeof(HANDLE);
// The idle process has no name; Toolhelp calls it this.
constexpr char kIdleProcessName[] = "[System Process]";

// The last-error value closest to a failed query, for $^E and $!.
DWORD ErrorFor(LONG status) {
    switch (static_cast<ULONG>(status)) {
        case 0xC0000022: return ERROR_ACCESS_DENIED;          // STATUS_ACCESS_DENIED
        case 0xC0000017:                                       // STATUS_NO_MEMORY
        case 0xC000009A: return ERROR_NOT_ENOUGH_MEMORY;      // STATUS_INSUFFICIENT_RESOURCES
        case 0xC0000002: return ERROR_CALL_NOT_IMPLEMENTED;   // STATUS_NOT_IMPLEMENTED
        default: return ERROR_GEN_FAILURE;
    }
}

// Records may be only 2-byte aligned (Wine's are): fields are copied out.
template <class Field>
Field ReadField(const BYTE* record, std::size_t offset) {
    Field field;
    std::memcpy(&field, record + offset, sizeof field);
    return field;
}

}  // namespace

bool NtProcessSource::TakeSnapshot(std::uint32_t /*seek_pid*/) {
    failure_ = 0;
    HANDLE heap = GetProcessHeap();
    // NT 4.0 and 2000 report a needed length of 0 when the buffer is too
    // small; later systems report one that may be short by the time of the
    // next call. So the buffer grows by doubling, and the report is taken
    // only when it asks for more than that.
    for (ULONG bytes = first_buffer_bytes_;;) {
        buffer_ = static_cast<BYTE*>(HeapAlloc(heap, 0, bytes));
        if (buffer_ == nullptr) {
            failure_ = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        buffer_bytes_ = bytes;
        ULONG returned = 0;
        const LONG status = query_(kSystemProcessInformation, buffer_, bytes, &returned);
        if (status >= 0) {
            filled_bytes_ = returned != 0 && returned <= bytes ? returned : bytes;
            return true;
        }
        FreeBuffer();
        if (static_cast<ULONG>(status) != kStatusInfoLengthMismatch) {
            failure_ = ErrorFor(status);
            return false;
        }
        if (bytes >= kLargestBufferBytes) {
            failure_ = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        bytes = std::min(std::max(bytes * 2, returned), kLargestBufferBytes);
    }
}

bool NtProcessSource::FirstEntry(ProcessEntry& entry) { return Deliver(0, entry); }

bool NtProcessSource::NextEntry(ProcessEntry& entry) { return Deliver(next_offset_, entry); }

void NtProcessSource::ReleaseSnapshot() { FreeBuffer(); }

void NtProcessSource::FreeBuffer() {
    if (buffer_ != nullptr) HeapFree(GetProcessHeap(), 0, buffer_);
    buffer_ = nullptr;
    filled_bytes_ = 0;
}

// Whatever NextEntryOffset and the name say, nothing outside the filled
// part of the buffer is read: a record that does not fit ends the walk.
bool NtProcessSource::Deliver(std::size_t offset, ProcessEntry& entry) {
    if (offset >= filled_bytes_ || filled_bytes_ - offset < kRecordBytesRead) return false;
    const BYTE* record = buffer_ + offset;
    const auto next = ReadField<ULONG>(record, offsetof(Record, NextEntryOffset));
    entry.pid = static_cast<ProcessId>(
        reinterpret_cast<ULONG_PTR>(ReadField<HANDLE>(record, offsetof(Record, UniqueProcessId))));
    if (!ConvertName(ReadField<UNICODE_STRING>(record, offsetof(Record, ImageName)), entry.pid == 0)) return false;
    entry.exe_path = name_;
    // The last record has no successor; neither has one that points past
    // the buffer.
    next_offset_ = next == 0 || next >= filled_bytes_ - offset ? filled_bytes_ : offset + next;
    return true;
}

// The name as Toolhelp's 8-bit Process32First and Process32Next give it:
// cut to 259 UTF-16 units, then to the ANSI code page in 260 bytes. Only
// the idle process is called by Toolhelp's name for it; another without a
// name (one still being made, as Wine lists it) keeps none.
bool NtProcessSource::ConvertName(const UNICODE_STRING& image_name, bool idle) {
    if (image_name.Length == 0) {
        const char* name = idle ? kIdleProcessName : "";
        std::memcpy(name_, name, std::strlen(name) + 1);
        return true;
    }
    // The name lies in the buffer, where the system wrote it, as UTF-16.
    const auto start = reinterpret_cast<std::uintptr_t>(image_name.Buffer);
    const auto buffer = reinterpret_cast<std::uintptr_t>(buffer_);
    if (start % sizeof(WCHAR) != 0 || start < buffer || start - buffer > filled_bytes_ ||
        filled_bytes_ - (start - buffer) < image_name.Length)
        return false;
    int units = std::min<int>(image_name.Length / sizeof(WCHAR), kMaxExePathLength);
    int bytes = 0;
    // In a double-byte code page 259 characters may need more than 259
    // bytes: keep the whole characters that fit.
    while (units > 0 && (bytes = WideCharToMultiByte(CP_ACP, 0, image_name.Buffer, units, name_,
                                                     kMaxExePathLength, nullptr, nullptr)) == 0)
        --units;
    name_[bytes] = '\0';
    return true;
}

}  // namespace varrokit
