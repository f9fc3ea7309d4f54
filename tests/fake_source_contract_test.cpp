#include "fake_process_source.h"
#include "source_contract.h"

namespace varrokit {
namespace {

// The fake source keeps the contract too, so the suite itself is checked
// against a source whose every entry is known.
struct FakeSourceTraits {
    using Source = FakeProcessSource;
    static ProcessId OwnPid() { return 0x00030004u; }
    static std::string OwnExeName() { return "own.exe"; }
    static Source Make() {
        return FakeProcessSource({{0x00010004u, "C:\\bin\\other.exe"},
                                    {0x00020005u, "own.exe"},
                                    {OwnPid(), "C:\\bin\\own.exe"},
                                    {0x00040004u, "other.exe"}});
    }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Fake, ProcessSourceContract, FakeSourceTraits);

}  // namespace varrokit
