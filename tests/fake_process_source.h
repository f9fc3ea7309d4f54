// A process-list source that serves a fixed list and records how it was used.
#ifndef VARROKIT_TESTS_FAKE_PROCESS_SOURCE_H
#define VARROKIT_TESTS_FAKE_PROCESS_SOURCE_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "process_match.h"

namespace varrokit {

class FakeProcessSource final : public ProcessListSource {
public:
    struct Process {
        ProcessId pid;
        std::string exe_path;
    };

    FakeProcessSource() = default;
    explicit FakeProcessSource(std::vector<Process> processes)
        : processes_(std::move(processes)) {}

    void RefuseSnapshots() { refuse_snapshot_ = true; }
    // Ends the walk after this many entries, as a platform failure would.
    void FailAfter(std::size_t entries) { fail_after_ = entries; }

    bool TakeSnapshot(std::uint32_t seek_pid) override {
        ++snapshots_taken;
        last_seek_pid = seek_pid;
        return !refuse_snapshot_;
    }
    bool FirstEntry(ProcessEntry& entry) override {
        ++first_entry_calls;
        next_ = 0;
        return Deliver(entry);
    }
    bool NextEntry(ProcessEntry& entry) override { return Deliver(entry); }
    void ReleaseSnapshot() override { ++releases; }

    int snapshots_taken = 0;
    int first_entry_calls = 0;
    int releases = 0;
    std::size_t delivered = 0;
    std::uint32_t last_seek_pid = 0;

private:
    bool Deliver(ProcessEntry& entry) {
        if (next_ >= processes_.size() || next_ >= fail_after_) return false;
        entry.pid = processes_[next_].pid;
        entry.exe_path = processes_[next_].exe_path.c_str();
        ++next_;
        ++delivered;
        return true;
    }

    std::vector<Process> processes_;
    bool refuse_snapshot_ = false;
    std::size_t fail_after_ = static_cast<std::size_t>(-1);
    std::size_t next_ = 0;
};

}  // namespace varrokit

#endif
