// Checks the /proc text parsers on arbitrary bytes: they stay within the
// input and return what their contracts promise.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "proc_text.h"

namespace {

void Require(bool property) {
    if (!property) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* end = text + size;

    varrokit::ProcStat stat{};
    if (varrokit::ParseProcStat(text, size, stat)) {
        const char* name = stat.command_name;
        const char* name_end = name + stat.command_name_length;
        Require(name > text && name_end + 2 < end + 1);
        Require(name[-1] == '(' && std::memchr(text, '(', name - 1 - text) == nullptr);
        Require(*name_end == ')' && std::memchr(name_end + 1, ')', end - name_end - 1) == nullptr);
        Require(name_end[1] == ' ' && stat.state == name_end[2]);
    }

    // The same bytes as a cut command name and the cmdline that follows it.
    const std::size_t cut = size < varrokit::kCommandNameCut ? size : varrokit::kCommandNameCut;
    const char* long_name = nullptr;
    const std::size_t length =
        varrokit::LongNameFromCmdline(text, cut, text + cut, size - cut, &long_name);
    if (length != 0) {
        Require(cut == varrokit::kCommandNameCut && length > cut);
        Require(long_name >= text + cut && long_name + length <= end);
        Require(std::memcmp(long_name, text, cut) == 0);
        Require(std::memchr(long_name, '/', length) == nullptr);
        Require(std::memchr(long_name, '\0', length) == nullptr);
    }
    return 0;
}
