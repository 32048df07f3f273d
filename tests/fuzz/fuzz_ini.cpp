// INI reader: whatever the file holds, a value is one line of at most size - 1 characters
// without surrounding blanks, and asking twice gives the same answer.
#include "config/ini_reader.h"

#include <cstdlib>
#include <string>

using namespace korva;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // First byte: buffer size; second: where the key name ends inside the rest.
    const std::size_t bufferSize = data[0] % 64 + 1;
    const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::size_t split = std::min<std::size_t>(data[1] % 16, rest.size());
    const std::string key = rest.substr(0, split);
    const std::string text = rest.substr(split);
    for (const char* section : {"USB", "Flags"}) {
        const std::string v = ProfileStringFromText(text, section, key, "dflt", bufferSize);
        if (v != "dflt" && v.size() > bufferSize - 1) std::abort();
        if (v.find('\n') != std::string::npos) std::abort();
        if (v != ProfileStringFromText(text, section, key, "dflt", bufferSize)) std::abort();
    }
    return 0;
}
