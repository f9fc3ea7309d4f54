// Lookups must not touch the heap: the process's malloc is replaced by one
// that counts while a lookup runs. A binary of its own, since sanitizers
// replace malloc themselves.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "proc_source.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void Count() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
}
}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
    Count();
    return __libc_realloc(pointer, size);
}
}

namespace varrokit {
namespace {

TEST(Allocation, LookupsAllocateNothing) {
    const ProcessId self = static_cast<ProcessId>(getpid());
    for (auto strategy : {ProcSource::Strategy::kAdaptive, ProcSource::Strategy::kListDirectory,
                          ProcSource::Strategy::kProbeCandidates}) {
        allocations = 0;
        counting = true;
        ProcessId found = 0;
        for (int call = 0; call < 100; ++call) {
            ProcSource source(strategy);
            found = MatchProcess(source, ShortId(self), program_invocation_short_name);
        }
        counting = false;
        EXPECT_EQ(found, self);
        EXPECT_EQ(allocations.load(), 0) << "strategy " << static_cast<int>(strategy);
    }
    // The counter itself must work, or the test proves nothing.
    counting = true;
    void* volatile probe = std::malloc(16);
    counting = false;
    std::free(probe);
    EXPECT_EQ(allocations.load(), 1);
}

}  // namespace
}  // namespace varrokit
