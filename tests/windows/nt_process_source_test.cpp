#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nt_process_source.h"
#include "process_walks.h"
#include "source_contract.h"

namespace varrokit {

struct NtProcessSourceTraits {
    using Source = NtProcessSource;
    static Source Make() { return NtProcessSource(FindSystemInterfaces().nt_query_system_information); }
    static ProcessId OwnPid() { return GetCurrentProcessId(); }
    static std::string OwnExeName() { return varrokit::OwnExeName(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Nt, ProcessSourceContract, NtProcessSourceTraits);

namespace {

Walk NtWalk(ULONG first_buffer_bytes = NtProcessSource::kFirstBufferBytes) {
    NtProcessSource source(FindSystemInterfaces().nt_query_system_information, first_buffer_bytes);
    return SourceWalk(source);
}

TEST(NtProcessSource, GivesWhatToolhelpGives) {
    ASSERT_NE(FindSystemInterfaces().nt_query_system_information, nullptr);
    ExpectToolhelpWalk([] { return NtWalk(); });
}

TEST(NtProcessSource, GrowsAFirstBufferThatIsTooSmall) {
    NtProcessSource source(FindSystemInterfaces().nt_query_system_information, 64);
    ASSERT_TRUE(source.TakeSnapshot(0));
    source.ReleaseSnapshot();
    EXPECT_GT(source.buffer_bytes(), 64u);
    ExpectToolhelpWalk([] { return NtWalk(64); });
}

// SystemProcessInformation as a test lays it out: records of the fixed part
// and the UTF-16 name after it, each name's Buffer pointing into the
// caller's buffer, as the system's do.
struct FakeProcess {
    ULONG_PTR pid;
    std::wstring name;
};

class FakeSystem {
public:
    // Lays the processes out, each record starting at a multiple of
    // alignment (8 as NT does, 2 as Wine may).
    void Lay(const std::vector<FakeProcess>& processes, std::size_t alignment = 8) {
        bytes.clear();
        records.clear();
        names.clear();
        std::size_t previous = 0;
        for (std::size_t i = 0; i < processes.size(); ++i) {
            const std::size_t start = bytes.size();
            records.push_back(start);
            if (i > 0) Put<ULONG>(previous, offsetof(SYSTEM_PROCESS_INFORMATION, NextEntryOffset),
                                  static_cast<ULONG>(start - previous));
            bytes.resize(start + sizeof(SYSTEM_PROCESS_INFORMATION));
            const std::size_t name_bytes = processes[i].name.size() * sizeof(WCHAR);
            Put<USHORT>(start, NameField(Length), static_cast<USHORT>(name_bytes));
            Put<HANDLE>(start, offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId),
                        reinterpret_cast<HANDLE>(processes[i].pid));
            names.push_back(bytes.size());
            bytes.resize(bytes.size() + name_bytes);
            std::memcpy(&bytes[names.back()], processes[i].name.data(), name_bytes);
            bytes.resize((bytes.size() + alignment - 1) / alignment * alignment);
            previous = start;
        }
        needed = static_cast<ULONG>(bytes.size());
    }

    template <class Field>
    void Put(std::size_t record, std::size_t offset, Field value) {
        std::memcpy(&bytes[record + offset], &value, sizeof value);
    }
    static constexpr std::size_t NameField(std::size_t member) {
        return offsetof(SYSTEM_PROCESS_INFORMATION, ImageName) + member;
    }
    static constexpr std::size_t Length = offsetof(UNICODE_STRING, Length);

    std::vector<BYTE> bytes;
    std::vector<std::size_t> records;  // where each record starts
    std::vector<std::size_t> names;    // and its name
    ULONG needed = 0;                // below this, STATUS_INFO_LENGTH_MISMATCH
    ULONG reported_needed = 0;       // what a mismatch reports (0, as NT 4.0)
    ULONG reported_filled = 0;       // what a success reports, if not all
    LONG status = 0;                 // a failure to give instead of the list
    const void* name_outside = nullptr;  // the last record's name, if set
    std::vector<ULONG> calls;        // the buffer size of each call
};

FakeSystem* fake = nullptr;

LONG WINAPI FakeQuery(ULONG information_class, PVOID buffer, ULONG bytes, PULONG returned) {
    fake->calls.push_back(bytes);
    if (information_class != 5) return static_cast<LONG>(0xC0000003);  // STATUS_INVALID_INFO_CLASS
    if (fake->status != 0) return fake->status;
    if (bytes < fake->needed) {
        *returned = fake->reported_needed;
        return static_cast<LONG>(0xC0000004);
    }
    BYTE* out = static_cast<BYTE*>(buffer);
    std::memcpy(out, fake->bytes.data(), fake->bytes.size());
    for (std::size_t i = 0; i < fake->records.size(); ++i) {
        const void* name = out + fake->names[i];
        if (i + 1 == fake->names.size() && fake->name_outside) name = fake->name_outside;
        std::memcpy(out + fake->records[i] + FakeSystem::NameField(offsetof(UNICODE_STRING, Buffer)),
                    &name, sizeof name);
    }
    *returned = fake->reported_filled != 0 ? fake->reported_filled : fake->needed;
    return 0;
}

class NtProcessSourceOverFakeSystem : public testing::Test {
protected:
    void SetUp() override { fake = &system; }
    void TearDown() override { fake = nullptr; }

    Walk FakeWalk(ULONG first_buffer_bytes = NtProcessSource::kFirstBufferBytes) {
        NtProcessSource source(FakeQuery, first_buffer_bytes);
        return SourceWalk(source);
    }

    FakeSystem system;
};

TEST_F(NtProcessSourceOverFakeSystem, DeliversRecordsInOrderWithToolhelpNames) {
    system.Lay({{0, L""}, {8, L"System"}, {0x1234, L"notepad.exe"}, {0x20004, L"b.exe"}, {0x1a8, L""}});
    EXPECT_EQ(FakeWalk(), (Walk{{0, "[System Process]"}, {8, "System"}, {0x1234, "notepad.exe"},
                                {0x20004, "b.exe"}, {0x1a8, ""}}))
        << "a process still being made has no name yet, and is no idle process";
    system.Lay({{4, L"odd.exe"}, {5, L"x"}, {6, L"last.exe"}}, 2);
    EXPECT_EQ(FakeWalk(), (Walk{{4, "odd.exe"}, {5, "x"}, {6, "last.exe"}}))
        << "records only 2-byte aligned, as Wine's";
}

TEST_F(NtProcessSourceOverFakeSystem, CutsANameTo259Bytes) {
    system.Lay({{4, std::wstring(300, L'a')}, {5, std::wstring(259, L'b')}});
    EXPECT_EQ(FakeWalk(), (Walk{{4, std::string(259, 'a')}, {5, std::string(259, 'b')}}));
}

TEST_F(NtProcessSourceOverFakeSystem, GrowsWhenTheSystemReportsNoLength) {
    std::vector<FakeProcess> many;
    for (ULONG_PTR pid = 4; pid < 4 + 4 * 500; pid += 4) many.push_back({pid, L"many.exe"});
    system.Lay(many);
    const Walk walk = FakeWalk(64);
    ASSERT_EQ(walk.size(), many.size());
    EXPECT_EQ(walk.back(), (Walk::value_type{many.back().pid, "many.exe"}));
    ASSERT_GE(system.calls.size(), 3u);
    for (std::size_t i = 1; i < system.calls.size(); ++i)
        EXPECT_EQ(system.calls[i], 2 * system.calls[i - 1]) << "call " << i;

    // A length reported beyond the doubling is taken at once.
    system.calls.clear();
    system.reported_needed = system.needed;
    EXPECT_EQ(FakeWalk(64).size(), many.size());
    EXPECT_EQ(system.calls, (std::vector<ULONG>{64, system.needed}));
}

TEST_F(NtProcessSourceOverFakeSystem, AFailedQueryIsNoSnapshotAndSaysWhy) {
    system.Lay({{4, L"a.exe"}});
    struct Case {
        ULONG status;
        DWORD error;
    };
    for (const Case& c : {Case{0xC0000022, ERROR_ACCESS_DENIED}, Case{0xC000009A, ERROR_NOT_ENOUGH_MEMORY},
                          Case{0xC0000001, ERROR_GEN_FAILURE}}) {
        system.status = static_cast<LONG>(c.status);
        NtProcessSource source(FakeQuery);
        EXPECT_FALSE(source.TakeSnapshot(4)) << std::hex << c.status;
        EXPECT_EQ(source.failure(), c.error) << std::hex << c.status;
    }

    // A list that never fits: the growth stops, and the buffer is not kept.
    system.status = 0;
    system.needed = ~0u;
    NtProcessSource source(FakeQuery);
    EXPECT_FALSE(source.TakeSnapshot(4));
    EXPECT_EQ(source.failure(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(system.calls.back(), NtProcessSource::kLargestBufferBytes);
}

TEST_F(NtProcessSourceOverFakeSystem, NeverReadsPastWhatTheSystemFilled) {
    system.Lay({{4, L"a.exe"}, {5, L"b.exe"}, {6, L"c.exe"}});
    const std::size_t second = system.records[1], third = system.records[2];

    system.Put<ULONG>(second, 0, 0x7FFFFFF0);  // NextEntryOffset far past the end
    EXPECT_EQ(FakeWalk(), (Walk{{4, "a.exe"}, {5, "b.exe"}}));

    system.Put<ULONG>(second, 0, static_cast<ULONG>(third - second));
    system.Put<USHORT>(third, FakeSystem::NameField(FakeSystem::Length), 0xFFFE);  // a name too long
    EXPECT_EQ(FakeWalk(), (Walk{{4, "a.exe"}, {5, "b.exe"}}));

    system.Put<USHORT>(third, FakeSystem::NameField(FakeSystem::Length), 10);
    system.name_outside = L"outside";  // a name that is not in the buffer
    EXPECT_EQ(FakeWalk(), (Walk{{4, "a.exe"}, {5, "b.exe"}}));

    system.name_outside = nullptr;
    system.reported_filled = static_cast<ULONG>(third + 8);  // the last record cut short
    EXPECT_EQ(FakeWalk(), (Walk{{4, "a.exe"}, {5, "b.exe"}}));
    system.reported_filled = 0;
    EXPECT_EQ(FakeWalk(), (Walk{{4, "a.exe"}, {5, "b.exe"}, {6, "c.exe"}}));
}

}  // namespace
}  // namespace varrokit
