#include "commands.h"

#include "afe/afe_ops.h"
#include "afe/dump_file.h"
#include "tools/download.h"
#include "fpga/fpga_ops.h"
#include "video/mode_setup.h"
#include "video/mode_table.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace korva::cli {
namespace {

CommandError usage(const std::string& message) {
    return CommandError(kUsage, message);
}

// A number as C reads it (strtol, base 0): 0x hex, a leading 0 octal, else decimal.
long number(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw usage(what + " \"" + text + "\" is not a number");
    return v;
}

long inRange(const std::string& text, const std::string& what, long low, long high, bool hex) {
    const long v = number(text, what);
    if (v < low || v > high)
        throw usage(what + " " + text + " is outside " +
                    (hex ? Hex(static_cast<int>(low)) + ".." + Hex(static_cast<int>(high))
                         : std::to_string(low) + ".." + std::to_string(high)));
    return v;
}

int afeAddress(const std::string& text) {
    return static_cast<int>(inRange(text, "register", 0, kAfeLastAddress, true));
}

std::uint8_t byte(const std::string& text, const std::string& what) {
    return static_cast<std::uint8_t>(inRange(text, what, 0, 0xFF, true));
}

std::vector<std::optional<std::uint8_t>> optionals(const std::vector<std::uint8_t>& v) {
    return {v.begin(), v.end()};
}

struct LoadedTable {
    std::string path;
    ModeTable table;
};

LoadedTable modeTable(bool verbose) {
    const ModeTableLocation where = FindModeTable("");
    if (where.path.empty())
        throw CommandError(kFailure, std::string("no ") + kModeTableFileName +
                                         " in the current directory or the installed data "
                                         "folder");
    LoadedTable t{where.path, ReadModeTable(where.path)};
    if (verbose) {
        if (!where.note.empty()) std::fprintf(stderr, "korva726ctl: %s\n", where.note.c_str());
        for (const std::string& p : t.table.problems)
            std::fprintf(stderr, "korva726ctl: %s: %s\n", where.path.c_str(), p.c_str());
    }
    return t;
}

// A count of a mode line: a whole number as an integer, else as it is.
nlohmann::json count(double v) {
    return v == static_cast<double>(static_cast<long long>(v))
               ? nlohmann::json(static_cast<long long>(v))
               : nlohmann::json(v);
}

std::string modeName(const std::string& line) {
    return line.substr(0, line.find(','));
}

} // namespace

void Commands::on(CLI::App* sub, void (Commands::*action)()) {
    sub->callback([this, action] { action_ = action; });
}

void Commands::addTo(CLI::App& app, bool withRun) {
    app.require_subcommand(1, 1);
    on(app.add_subcommand("list", "List the boards present, with whether this user may open "
                                  "each"),
       &Commands::list);

    auto* get = app.add_subcommand("get", "Read AFE registers (one burst read)");
    get->add_option("ADDR", address_, "First register, 0x00..0x41")->required();
    get->add_option("COUNT", count_, "How many registers (default 1, at most 64)");
    on(get, &Commands::get);

    auto* set = app.add_subcommand("set", "Write an AFE register and read it back (exit 3 "
                                          "when the chip reads back something else)");
    set->add_option("ADDR", address_, "Register, 0x00..0x41")->required();
    set->add_option("VALUE", value_, "Value, 0x00..0xff")->required();
    set->add_flag("--gang", gang_,
                  "Write the whole gain (0x06..0x08) or offset (0x09..0x0b) group");
    on(set, &Commands::set);

    auto* dump = app.add_subcommand("dump", "Read and print all 66 AFE registers");
    dump->add_option("--format", format_,
                     "table (as i2cdump prints), file (the register dump file) or json")
        ->check(CLI::IsMember({"table", "file", "json"}));
    on(dump, &Commands::dump);

    auto* save = app.add_subcommand("save", "Read all AFE registers into a register dump file");
    save->add_option("FILE", file_, "Dump file to write (replaced whole, or left as it was)")
        ->required();
    on(save, &Commands::save);
    auto* load = app.add_subcommand("load", "Write the registers of a register dump file");
    load->add_option("FILE", file_, "Dump file to read")->required();
    on(load, &Commands::load);

    auto* mode = app.add_subcommand("mode", "Video modes of mode_table.dat");
    mode->require_subcommand(1, 1);
    on(mode->add_subcommand("list", "List the modes"), &Commands::modeList);
    auto* apply = mode->add_subcommand("apply", "Set the board up for a mode and an input");
    apply->add_option("NAME", mode_, "Mode name, as listed")->required();
    apply
        ->add_option("--input", input_,
                     "VGA1, VGA2, Component1, Component2 or Composite1 (case and blanks "
                     "do not matter)")
        ->required();
    apply->add_flag("--csc", csc_,
                    "Switch the colour space converter: on for component and composite, "
                    "off for VGA");
    on(apply, &Commands::modeApply);

    auto* de = app.add_subcommand("de", "The FPGA's data-enable window");
    de->require_subcommand(1, 1);
    on(de->add_subcommand("get", "Print HSTART HSTOP VSTART VSTOP"), &Commands::deGet);
    auto* deSet = de->add_subcommand("set", "Write the four counts, 0..65535 each");
    deSet->add_option("HSTART", de_[0])->required();
    deSet->add_option("HSTOP", de_[1])->required();
    deSet->add_option("VSTART", de_[2])->required();
    deSet->add_option("VSTOP", de_[3])->required();
    on(deSet, &Commands::deSet);

    auto* csc = app.add_subcommand("csc", "Switch the YPbPr-to-RGB colour space converter");
    csc->add_option("STATE", state_, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    on(csc, &Commands::csc);

    auto* fpga = app.add_subcommand("fpga", "FPGA registers");
    fpga->require_subcommand(1, 1);
    auto* fpgaGet = fpga->add_subcommand("get", "Read one register");
    fpgaGet->add_option("ADDR", address_, "Register, 0x00..0xff")->required();
    on(fpgaGet, &Commands::fpgaGet);
    auto* fpgaSet = fpga->add_subcommand("set", "Write one register");
    fpgaSet->add_option("ADDR", address_, "Register, 0x00..0xff")->required();
    fpgaSet->add_option("VALUE", value_, "Value, 0x00..0xff")->required();
    on(fpgaSet, &Commands::fpgaSet);
    on(fpga->add_subcommand("dump", "Read and print registers 0x00..0x24"), &Commands::fpgaDump);

    auto* download = app.add_subcommand("download", "Stream an FPGA bitstream to the board");
    download->add_option("FILE", file_, "Bitstream file, sent as it is")->required();
    download->add_flag("-y,--yes", yes_, "Do not ask for confirmation");
    on(download, &Commands::download);

    if (withRun) {
        auto* run = app.add_subcommand(
            "run", "Carry out commands from FILE (or standard input), one a line, in this "
                   "process: the board keeps its state between lines");
        file_ = "-";
        run->add_option("FILE", file_, "Script file, or - for standard input");
        on(run, &Commands::runScript);
    }
}

void Commands::run() {
    if (action_) (this->*action_)();
}

void Commands::print(const std::string& text) const {
    std::fputs(text.c_str(), stdout);
}

void Commands::printJson(const nlohmann::json& doc) const {
    print(doc.dump() + "\n");
}

void Commands::verbose(const std::string& text) const {
    if (options_.verbose && !options_.json) print(text + "\n");
}

void Commands::list() {
    if (session_.simulated()) {
        if (options_.json)
            printJson(nlohmann::json{{"boards", {{{"simulated", true}, {"accessible", true}}}}});
        else
            print("simulated board (--simulate)\n");
        return;
    }
    const UsbBoardList found = ListUsbBoards(session_.match());
    if (!found.error.empty())
        throw CommandError(kFailure, "the USB devices cannot be listed: " + found.error);
    nlohmann::json boards = nlohmann::json::array();
    for (const UsbBoard& b : found.boards) {
        if (!options_.json) print(DescribeUsbBoard(b) + "\n");
        boards.push_back(
            {{"bus", b.bus},
             {"address", b.address},
             {"port", b.port},
             {"vendor_id", b.vendorId},
             {"product_id", b.productId},
             {"serial", b.serial.empty() ? nlohmann::json() : nlohmann::json(b.serial)},
             {"accessible", b.accessible}});
    }
    if (options_.json) printJson(nlohmann::json{{"boards", boards}});
}

void Commands::get() {
    const int first = afeAddress(address_);
    const long most = std::min<long>(kMaxBurstRead, kAfeLastAddress + 1 - first);
    const int count =
        count_.empty() ? 1 : static_cast<int>(inRange(count_, "count", 1, most, false));
    const auto values = ReadAfeRegisters(session_.board(), first, count);
    session_.check("reading the AFE registers");
    nlohmann::json regs = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
        const std::uint8_t v = (*values)[static_cast<std::size_t>(i)];
        if (options_.json)
            regs.push_back(RegisterJson(first + i, v));
        else
            print(Hex(v) + "\n");
    }
    if (options_.json) printJson(nlohmann::json{{"registers", regs}});
}

void Commands::set() {
    const int address = afeAddress(address_);
    const std::uint8_t value = byte(value_, "value");
    const Gang group = AfeRegisters()[static_cast<std::size_t>(address)].gang;
    if (gang_ && group == Gang::None)
        throw usage("--gang needs a gain register (0x06..0x08) or an offset register "
                    "(0x09..0x0b), not " +
                    Hex(address));
    std::vector<AfeWrite> writes;
    if (gang_) {
        const auto w = WriteAfeGanged(session_.board(), group, value);
        session_.check("writing the registers");
        writes.assign(w->begin(), w->end());
    } else {
        const auto w = WriteAfeRegister(session_.board(), address, value);
        session_.check("writing the register");
        writes.push_back(*w);
    }
    nlohmann::json docs = nlohmann::json::array();
    std::string mismatch;
    for (const AfeWrite& w : writes) {
        const std::string where = gang_ ? " to " + Hex(w.address) : "";
        docs.push_back({{"address", w.address},
                        {"address_hex", Hex(w.address)},
                        {"written", w.written},
                        {"written_hex", Hex(w.written)},
                        {"read_back", w.readBack},
                        {"read_back_hex", Hex(w.readBack)},
                        {"matched", w.matches()}});
        if (w.matches())
            verbose("Value " + Hex(w.written) + " written" + where + ", readback matched");
        else
            mismatch += (mismatch.empty() ? "" : "; ") + std::string("wrote ") + Hex(w.written) +
                        where + ", read back " + Hex(w.readBack);
    }
    if (options_.json) printJson(nlohmann::json{{"writes", docs}});
    if (!mismatch.empty()) throw CommandError(kMismatch, "Warning - data mismatch - " + mismatch);
}

void Commands::dump() {
    const std::string format = options_.json ? "json" : format_;
    const auto values = ReadAllAfeRegisters(session_.board());
    session_.check("reading the AFE registers");
    if (format == "file") {
        print(FormatDump(DumpTexts(*values), session_.hiddenModesShown()));
    } else if (format == "json") {
        nlohmann::json regs = nlohmann::json::array();
        for (int a = 0; a < kAfeRegisterCount; ++a)
            regs.push_back(RegisterJson(a, (*values)[static_cast<std::size_t>(a)]));
        printJson(nlohmann::json{{"registers", regs}});
    } else {
        print(RegisterTable(optionals(std::vector<std::uint8_t>(values->begin(), values->end()))));
    }
}

void Commands::save() {
    const auto values = ReadAllAfeRegisters(session_.board());
    session_.check("reading the AFE registers");
    const std::string error =
        WriteFileAtomically(file_, FormatDump(DumpTexts(*values), session_.hiddenModesShown()));
    if (!error.empty())
        throw CommandError(kFailure, file_ + ": cannot save the registers there (" + error +
                                         "); the file was not changed");
    if (options_.json) printJson(nlohmann::json{{"file", file_}, {"registers", kAfeRegisterCount}});
    verbose("Saved " + std::to_string(kAfeRegisterCount) + " registers to " + file_);
}

void Commands::load() {
    const DumpParseResult parsed = ReadDumpFile(file_);
    if (!parsed.values)
        throw CommandError(kFailure, file_ + ": " + parsed.error + "; no register was written");
    WriteDumpValues(session_.board(), *parsed.values);
    session_.check("writing the registers");
    const int skipped = parsed.skipped();
    if (skipped > 0)
        std::fprintf(stderr, "korva726ctl: %s: %s\n", file_.c_str(),
                     SkippedRegistersText(skipped).c_str());
    if (options_.json) {
        nlohmann::json left = nlohmann::json::array();
        for (int a = 0; a < kAfeRegisterCount; ++a)
            if (!(*parsed.values)[static_cast<std::size_t>(a)]) left.push_back(a);
        printJson(nlohmann::json{{"file", file_},
                                 {"written", kAfeRegisterCount - skipped},
                                 {"left_as_they_were", left}});
    }
    verbose("Wrote " + std::to_string(kAfeRegisterCount - skipped) + " registers from " + file_);
}

void Commands::modeList() {
    const LoadedTable t = modeTable(options_.verbose);
    nlohmann::json modes = nlohmann::json::array();
    for (const std::string& line : t.table.lines) {
        if (!options_.json) {
            print(modeName(line) + "\n");
            continue;
        }
        const ModeLine m = *ParseModeLine(line);
        modes.push_back({{"name", m.name},
                         {"hstart", count(m.hStart)},
                         {"hstop", count(m.hStop)},
                         {"vstart", count(m.vStart)},
                         {"vstop", count(m.vStop)},
                         {"pll_htotal", count(m.pllHtotal)}});
    }
    if (options_.json) printJson(nlohmann::json{{"file", t.path}, {"modes", modes}});
}

void Commands::modeApply() {
    const auto connector = FindConnector(input_);
    if (!connector)
        throw usage("unknown input \"" + input_ +
                    "\" (VGA1, VGA2, Component1, Component2 or Composite1)");
    const LoadedTable t = modeTable(options_.verbose);
    const std::string* line = nullptr;
    for (const std::string& l : t.table.lines)
        if (!line && modeName(l) == mode_) line = &l;
    if (!line)
        throw usage("no mode \"" + mode_ + "\" in " + t.path +
                    " (korva726ctl mode list shows "
                    "them)");
    std::string problem;
    const auto setup = ModeSettingsFromLine(*line, connector, csc_, &problem);
    if (!setup) throw CommandError(kFailure, t.path + ": mode \"" + mode_ + "\": " + problem);
    ApplyModeSetup(session_.board(), *setup);
    session_.check("setting up the mode");
    const Connector& c = Connectors()[static_cast<std::size_t>(*connector)];
    if (options_.json)
        printJson(nlohmann::json{
            {"mode", mode_},
            {"input", c.caption},
            {"csc", csc_ ? nlohmann::json(c.converterOn ? "on" : "off") : nlohmann::json()}});
    verbose("Set up for " + mode_ + " on " + c.caption);
}

void Commands::deGet() {
    const auto window = ReadDeWindow(session_.board());
    session_.check("reading the DE window");
    if (!window) throw CommandError(kFailure, "reading the DE window: the board did not answer");
    const char* names[kDeCounts] = {"hstart", "hstop", "vstart", "vstop"};
    nlohmann::json doc;
    std::string text;
    for (int k = 0; k < kDeCounts; ++k) {
        const auto v = static_cast<long>((*window)[static_cast<std::size_t>(k)]);
        doc[names[k]] = v;
        text += (k ? " " : "") + std::to_string(v);
    }
    print(options_.json ? doc.dump() + "\n" : text + "\n");
}

void Commands::deSet() {
    const char* names[kDeCounts] = {"HSTART", "HSTOP", "VSTART", "VSTOP"};
    DeWindow window{};
    for (int k = 0; k < kDeCounts; ++k)
        window[static_cast<std::size_t>(k)] = static_cast<double>(
            inRange(de_[static_cast<std::size_t>(k)], names[k], 0, 65535, false));
    WriteDeWindow(session_.board(), window);
    session_.check("writing the DE window");
    if (options_.json)
        printJson(nlohmann::json{{"hstart", count(window[0])},
                                 {"hstop", count(window[1])},
                                 {"vstart", count(window[2])},
                                 {"vstop", count(window[3])}});
}

void Commands::csc() {
    const bool on = state_ == "on";
    SetConverter(session_.board(), on);
    session_.check("switching the converter");
    if (options_.json) printJson(nlohmann::json{{"csc", state_}});
}

void Commands::fpgaGet() {
    const int address = byte(address_, "FPGA register");
    const auto value = ReadFpgaRegister(session_.board(), address);
    if (!value)
        throw CommandError(kFailure,
                           "reading FPGA register " + Hex(address) + ": the board did not answer");
    print(options_.json ? RegisterJson(address, value).dump() + "\n" : Hex(*value) + "\n");
}

void Commands::fpgaSet() {
    const int address = byte(address_, "FPGA register");
    const std::uint8_t value = byte(value_, "value");
    WriteFpgaRegister(session_.board(), address, value);
    session_.check("writing FPGA register " + Hex(address));
    if (options_.json) printJson(RegisterJson(address, value));
}

void Commands::fpgaDump() {
    const auto values = ReadAllFpgaRegisters(session_.board());
    if (options_.json) {
        nlohmann::json regs = nlohmann::json::array();
        for (int a = 0; a < kFpgaReadAllCount; ++a)
            regs.push_back(RegisterJson(a, values[static_cast<std::size_t>(a)]));
        printJson(nlohmann::json{{"registers", regs}});
    } else {
        print(RegisterTable({values.begin(), values.end()}));
    }
}

void Commands::download() {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file_, ec))
        throw CommandError(
            kFailure, file_ + ": " +
                          (std::filesystem::exists(file_, ec) ? "not a file" : "no such file") +
                          "; nothing was sent");
    if (!yes_) {
        if (inScript_) throw usage("download in a script needs -y; nothing was sent");
        std::fprintf(stderr, "Send %s to the board's FPGA configuration pipe? Continue? [Y/n] ",
                     file_.c_str());
        std::string answer;
        const bool got = static_cast<bool>(std::getline(std::cin, answer));
        if (!got) std::fputc('\n', stderr);
        if (!got || !(answer.empty() || answer == "y" || answer == "Y" || answer == "yes"))
            throw usage("download not confirmed; nothing was sent");
    }
    const DataPipeResult r = DownloadBitstreamFile(session_.board().link(), file_, {});
    if (r.outcome == DataPipeResult::Outcome::FileProblem) throw CommandError(kFailure, r.error);
    session_.check("downloading " + file_);
    if (options_.json) printJson(nlohmann::json{{"file", file_}, {"data_packets", r.dataPackets}});
    verbose("Sent " + file_ + " in " + std::to_string(r.dataPackets) + " data packets");
}

void Commands::runScript() {
    if (file_ == "-") {
        RunScript(std::cin, session_, options_);
        return;
    }
    std::ifstream in(file_);
    if (!in) throw CommandError(kFailure, file_ + ": " + std::strerror(errno));
    RunScript(in, session_, options_);
}

std::string UsageErrorText(const CLI::App& app, const CLI::ParseError& error) {
    const CLI::App* at = &app;
    std::string path;
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += at->get_name() + " ";
    }
    if (at->get_require_subcommand_min() == 0) return error.what();
    const std::vector<std::string> rest = app.remaining();
    if (!rest.empty()) return "unknown command \"" + path + rest.front() + "\"";
    if (path.empty()) return "no command given";
    path.pop_back();
    return "\"" + path + "\" needs a command";
}

void RunScript(std::istream& in, Session& session, const GlobalOptions& options) {
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        // A '#' that starts a word starts a comment.
        for (std::size_t i = 0; i < line.size(); ++i)
            if (line[i] == '#' &&
                (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1])))) {
                line.resize(i);
                break;
            }
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        CLI::App app("", "korva726ctl");
        Commands commands(session, options, true);
        commands.addTo(app, false);
        try {
            app.parse(line, false);
        } catch (const CLI::CallForHelp& e) {
            app.exit(e);
            continue;
        } catch (const CLI::ParseError& e) {
            throw CommandError(kUsage, where + UsageErrorText(app, e));
        }
        try {
            commands.run();
        } catch (const CommandError& e) {
            throw CommandError(e.status, where + e.what());
        }
    }
}

} // namespace korva::cli
