// Feeds the matching rule a process list made from the fuzz input and checks
// what it picks against the rule's plain properties.
#include <fuzzer/FuzzedDataProvider.h>

#include <strings.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_process_source.h"
#include "process_match.h"

namespace {

using varrokit::FakeProcessSource;
using varrokit::ProcessId;

void Require(bool property) {
    if (!property) std::abort();
}

// The base-name equality, independently: strcasecmp in the C locale folds
// exactly the ASCII letters.
bool SameName(const std::string& path, const std::string& seek) {
    const auto base = [](const std::string& s) {
        const std::string until_nul = s.c_str();
        const std::size_t slash = until_nul.rfind('\\');
        return slash == std::string::npos ? until_nul : until_nul.substr(slash + 1);
    };
    return strcasecmp(base(path).c_str(), base(seek).c_str()) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::uint32_t seek = input.ConsumeBool() ? input.ConsumeIntegral<std::uint16_t>()
                                                   : input.ConsumeIntegral<std::uint32_t>();
    const std::string seek_name = input.ConsumeRandomLengthString(512);
    std::vector<FakeProcessSource::Process> processes;
    while (input.remaining_bytes() > 0) {
        // Mostly identifiers that carry the sought short one, so the choice
        // among them gets exercised.
        ProcessId pid = input.ConsumeIntegral<std::uint32_t>();
        if (input.ConsumeBool()) pid = (pid & 0xFFFF0000u) | (seek & 0xFFFFu);
        std::string path = input.ConsumeRandomLengthString(varrokit::kMaxExePathLength);
        processes.push_back({pid, path});
    }

    FakeProcessSource source(processes);
    const ProcessId result = varrokit::MatchProcess(source, seek, seek_name.c_str());
    Require(source.releases == 1);

    const ProcessId* first_match = nullptr;  // first matching entry not 0
    const ProcessId* last_named = nullptr;   // last matching entry with the name
    for (const auto& process : processes) {
        if ((process.pid & 0xFFFFu) != seek) continue;
        if (first_match == nullptr && process.pid != 0) first_match = &process.pid;
        if (SameName(process.exe_path, seek_name)) last_named = &process.pid;
    }
    Require(result == 0 || (result & 0xFFFFu) == seek);
    if (last_named != nullptr && *last_named != 0) {
        Require(result == *last_named);  // the last name match wins
    } else if (last_named == nullptr) {
        Require(result == (first_match != nullptr ? *first_match : 0));  // else the first
    }
    return 0;
}
