// Register dump reader: a file that parses formats back, in the program's own format, to a
// file that parses to the same values (a register without a value saved as a box never
// read is saved, as blanks), with and without the register names.
#include "afe/dump_file.h"
#include "device/textnum.h"

#include <cstdlib>
#include <string_view>

using namespace korva;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const DumpParseResult first = ParseDump(text);
    if (first.values.has_value() == !first.error.empty()) std::abort();
    if (!first.values) return 0;
    RegisterTexts texts;
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        const auto& v = (*first.values)[static_cast<std::size_t>(a)];
        texts[static_cast<std::size_t>(a)] = v ? HexByte(*v) : "  ";
    }
    for (bool names : {false, true}) {
        const DumpParseResult again = ParseDump(FormatDump(texts, names));
        if (!again.values || *again.values != *first.values) std::abort();
    }
    return 0;
}
