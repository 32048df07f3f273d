// How the command-line tool prints: numbers as i2c-tools print them, the register table
// of i2cdump's byte mode, input quoted in messages, and every JSON document a command
// prints with --json (keys in lower case, numbers as numbers with a "_hex" string beside
// them where people read hex).
#pragma once

#include "afe/afe_ops.h"
#include "afe/dump_file.h"
#include "device/libusb_boards.h"
#include "video/mode_setup.h"
#include "video/mode_table.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korva::cli {

// How much of a name (a mode, a command) a message shows.
constexpr std::size_t kShownName = 64;

// Text fit for a message: control characters and bytes that are not UTF-8 as \xNN, the
// rest as it is.
std::string Escaped(std::string_view text);
// Input shown in a message: escaped, and cut after `limit` characters ("...").
std::string Shown(std::string_view text, std::size_t limit = 20);
// The same in double quotes: "0x1z".
std::string Quoted(std::string_view text, std::size_t limit = 20);
// One line on standard error: "korva726ctl: " and the message, escaped.
void Say(std::string_view message);

// "0x%02x", as i2cget prints a value.
std::string Hex(int v);

// Sixteen registers a row with the address column and the text column, as i2cdump prints
// them. values[a] is register a; an empty entry is a failed read (XX); the cells of a
// row past the last register stay blank.
std::string RegisterTable(const std::vector<std::optional<std::uint8_t>>& values);

// {"address": 6, "address_hex": "0x06", "value": 128, "value_hex": "0x80"}; the value
// is null for a failed read.
nlohmann::json RegisterJson(int address, std::optional<std::uint8_t> value);
// {"registers": [...]}: `values` from register `first` on.
nlohmann::json RegistersJson(int first, const std::vector<std::optional<std::uint8_t>>& values);

// `list`: {"boards": [...]}, each board with its bus, address, port, identifiers, serial
// number (null when it has none) and whether this user may open it.
// `chosen`: the board a command without --device (or with the --device given) would use.
nlohmann::json BoardsJson(const std::vector<UsbBoard>& boards, std::optional<std::size_t> chosen);
nlohmann::json SimulatedBoardJson();

// `set`: {"writes": [...]}, each with the address, the value written, the value read back
// and whether they match.
nlohmann::json WritesJson(const std::vector<AfeWrite>& writes);

// `save`: the file and the count of registers in it.
nlohmann::json SavedJson(const std::string& file);
// `load`: the file, the count of registers written and the addresses left as they were.
nlohmann::json LoadedJson(const std::string& file, const DumpValues& values);

// `mode list`: the table's path and each mode with its counts.
nlohmann::json ModesJson(const std::string& path, const std::vector<ModeLine>& modes);
// `mode apply`: the mode, the connector's caption and the converter's state ("on", "off",
// or null when it was not switched).
nlohmann::json ModeAppliedJson(const std::string& mode, const Connector& connector,
                               bool switchConverter);

// `de get` and `de set`: {"hstart": 230, "hstop": 1382, "vstart": 41, "vstop": 1065}.
nlohmann::json DeWindowJson(const DeWindow& window);
// `csc`: {"csc": "on"}.
nlohmann::json ConverterJson(bool on);
// `compare`: the file, the registers compared and those not compared (the file holds no
// value for them), and each register that differs with its value on the board and in the
// file.
nlohmann::json ComparedJson(const std::string& file, const DumpValues& values,
                            const std::vector<RegisterDifference>& differ);
// `mux` and `sync`: {"mux_channel": 2}.
nlohmann::json SelectedJson(const char* key, int value);
// `port`: {"port": "a", "value": 15, "value_hex": "0x0f"}.
nlohmann::json PortJson(const std::string& port, std::uint8_t value);

// `download`: the file and the data packets sent.
nlohmann::json DownloadJson(const std::string& file, std::uint64_t dataPackets);

} // namespace korva::cli
