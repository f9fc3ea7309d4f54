// Measures, in one run, the cost of one lookup through each Windows
// process-list source: Toolhelp, and NtQuerySystemInformation (the source of
// NT 3.51 and 4.0), each also through MatchWin9xPid's own path, which finds
// the interfaces by name at every call.
//
//   windows_sources_bench [CHILDREN]
//
// Starts CHILDREN suspended copies of itself first (default 50), so that the
// list is longer than a bare Wine's. Prints the median cost of one lookup in
// microseconds for each way, its ratio to Toolhelp's, and the size of the
// buffer that the NT source needed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nt_process_source.h"
#include "process_match.h"
#include "system_interfaces.h"
#include "toolhelp_source.h"

namespace {

using varrokit::ProcessId;

double Microseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1e6 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <class Lookup>
double Time(Lookup lookup) {
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    const ProcessId found = lookup();
    QueryPerformanceCounter(&to);
    if (found != GetCurrentProcessId()) {
        std::fprintf(stderr, "a lookup did not find its own process\n");
        std::exit(1);
    }
    return Microseconds(from, to);
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

varrokit::NtQuerySystemInformationFunction system_query = nullptr;

// The query as NT 4.0 and 2000 answer a buffer that is too small: with no
// length, so that the source can only double.
LONG WINAPI QueryWithoutLength(ULONG information_class, PVOID buffer, ULONG bytes, PULONG returned) {
    const LONG status = system_query(information_class, buffer, bytes, returned);
    if (static_cast<ULONG>(status) == 0xC0000004 && returned != nullptr) *returned = 0;
    return status;
}

FARPROC WINAPI WithoutToolhelp(HMODULE module, LPCSTR name) {
    return std::string(name) == "NtQuerySystemInformation" ? GetProcAddress(module, name) : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const int children = argc > 1 ? std::atoi(argv[1]) : 50;
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::vector<PROCESS_INFORMATION> started;
    for (int i = 0; i < children; ++i) {
        std::string command = std::string("\"") + exe + "\" 0";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child{};
        if (CreateProcessA(exe, &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                           nullptr, &startup, &child))
            started.push_back(child);
    }

    const std::uint32_t seek = varrokit::ShortId(GetCurrentProcessId());
    const char* name = varrokit::BaseName(exe);
    const varrokit::SystemInterfaces all = varrokit::FindSystemInterfaces();

    const char* ways[] = {"Toolhelp source", "NT source", "MatchWin9xPid (Toolhelp)",
                          "MatchWin9xPid without Toolhelp (NT)"};
    std::vector<double> samples[4];
    ULONG buffer_bytes = 0;
    // Interleaved, so that whatever else the machine does falls on all alike.
    for (int round = 0; round < 400; ++round) {
        samples[0].push_back(Time([&] {
            varrokit::ToolhelpSource source(all.toolhelp);
            return varrokit::MatchProcess(source, seek, name);
        }));
        samples[1].push_back(Time([&] {
            varrokit::NtProcessSource source(all.nt_query_system_information);
            const ProcessId found = varrokit::MatchProcess(source, seek, name);
            buffer_bytes = source.buffer_bytes();
            return found;
        }));
        samples[2].push_back(Time([&] {
            return varrokit::MatchThrough(varrokit::FindSystemInterfaces(), seek, name);
        }));
        samples[3].push_back(Time([&] {
            return varrokit::MatchThrough(varrokit::FindSystemInterfaces(WithoutToolhelp), seek, name);
        }));
    }

    varrokit::NtProcessSource grown(all.nt_query_system_information, 64);
    grown.TakeSnapshot(seek);
    grown.ReleaseSnapshot();
    system_query = all.nt_query_system_information;
    varrokit::NtProcessSource doubled(QueryWithoutLength, 64);
    doubled.TakeSnapshot(seek);
    doubled.ReleaseSnapshot();

    const double toolhelp = Median(samples[0]);
    std::printf("children started: %zu of %d\n", started.size(), children);
    for (int way = 0; way < 4; ++way)
        std::printf("%-38s %9.1f us  %5.2f x Toolhelp\n", ways[way], Median(samples[way]),
                    Median(samples[way]) / toolhelp);
    std::printf("NT source buffer: %lu bytes (the first, %lu); grown from 64 bytes: %lu bytes,"
                " or %lu bytes where the system reports no length (NT 4.0, 2000)\n",
                buffer_bytes, varrokit::NtProcessSource::kFirstBufferBytes, grown.buffer_bytes(),
                doubled.buffer_bytes());

    for (PROCESS_INFORMATION& child : started) {
        TerminateProcess(child.hProcess, 0);
        WaitForSingleObject(child.hProcess, INFINITE);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    return 0;
}
