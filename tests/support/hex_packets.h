// Expected traffic written as text, for tables: each packet is its leading bytes in hex
// ("2F1B21" is the FPGA write of 0x21 to register 0x1B), packets are apart by blanks, and
// the rest of each 64-byte packet is zero.
#pragma once

#include "support/recording_sink.h"

#include <sstream>
#include <string>

namespace korva::test {

inline Packets hexPackets(const std::string& text) {
    Packets all;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        all.emplace_back(64, 0);
        for (std::size_t i = 0; i + 1 < word.size(); i += 2)
            all.back()[i / 2] =
                static_cast<std::uint8_t>(std::stoi(word.substr(i, 2), nullptr, 16));
    }
    return all;
}

} // namespace korva::test
