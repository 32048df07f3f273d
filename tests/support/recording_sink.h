// An ErrorSink for tests: records each reported code instead of ending the process.
#pragma once

#include "device/exchange.h"

#include <vector>

namespace korva::test {

struct RecordingSink : ErrorSink {
    std::vector<std::int16_t> codes;
    void errMsg(std::int16_t code) override { codes.push_back(code); }
};

using Bytes = std::vector<std::uint8_t>;
using Packets = std::vector<Bytes>;

// Bytes of a 64-byte packet given its leading bytes.
inline Bytes packet(std::initializer_list<std::uint8_t> head) {
    Bytes p(64, 0);
    std::copy(head.begin(), head.end(), p.begin());
    return p;
}

} // namespace korva::test
