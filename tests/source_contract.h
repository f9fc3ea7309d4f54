// The contract every process-list source keeps, as one typed suite. A backend
// instantiates it with a traits type that offers:
//   using Source = ...;               the source type
//   static Source Make();             a source ready to take a snapshot
//   static ProcessId OwnPid();        the calling process as the source sees it
//   static std::string OwnExeName();  its executable's file name
#ifndef VARROKIT_TESTS_SOURCE_CONTRACT_H
#define VARROKIT_TESTS_SOURCE_CONTRACT_H

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "process_match.h"

namespace varrokit {

template <class Traits>
class ProcessSourceContract : public testing::Test {
protected:
    ProcessId Match(std::uint32_t seek_pid, const std::string& name) {
        typename Traits::Source source = Traits::Make();
        return MatchProcess(source, seek_pid, name.c_str());
    }
};

TYPED_TEST_SUITE_P(ProcessSourceContract);

TYPED_TEST_P(ProcessSourceContract, FindsTheCallingProcessByItsName) {
    const ProcessId own = TypeParam::OwnPid();
    EXPECT_EQ(this->Match(ShortId(own), TypeParam::OwnExeName()), own);
}

TYPED_TEST_P(ProcessSourceContract, ComparesBaseNamesWithoutCase) {
    const ProcessId own = TypeParam::OwnPid();
    std::string name = "C:\\Some Dir\\" + TypeParam::OwnExeName();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(this->Match(ShortId(own), name), own);
}

TYPED_TEST_P(ProcessSourceContract, SoughtValueAbove16BitsMatchesNothing) {
    const ProcessId own = TypeParam::OwnPid();
    EXPECT_EQ(this->Match(ShortId(own) | 0x10000u, TypeParam::OwnExeName()), 0u);
    EXPECT_EQ(this->Match(0xFFFFFFFFu, TypeParam::OwnExeName()), 0u);
}

TYPED_TEST_P(ProcessSourceContract, WalkDeliversWellFormedEntriesOnce) {
    const ProcessId own = TypeParam::OwnPid();
    for (int round = 0; round < 2; ++round) {  // no state carries over
        typename TypeParam::Source source = TypeParam::Make();
        ASSERT_TRUE(source.TakeSnapshot(ShortId(own)));
        int own_entries = 0;
        ProcessEntry entry{};
        for (bool more = source.FirstEntry(entry); more; more = source.NextEntry(entry)) {
            ASSERT_NE(entry.exe_path, nullptr);
            EXPECT_LE(std::strlen(entry.exe_path), kMaxExePathLength);
            own_entries += entry.pid == own;
        }
        source.ReleaseSnapshot();
        EXPECT_EQ(own_entries, 1) << "round " << round;
    }
}

REGISTER_TYPED_TEST_SUITE_P(ProcessSourceContract, FindsTheCallingProcessByItsName,
                            ComparesBaseNamesWithoutCase, SoughtValueAbove16BitsMatchesNothing,
                            WalkDeliversWellFormedEntriesOnce);

}  // namespace varrokit

#endif
