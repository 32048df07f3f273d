#include "commands.h"

#include "script.h"
#include "stop.h"

#include "afe/afe_ops.h"
#include "afe/dump_file.h"
#include "fpga/fpga_ops.h"
#include "tools/download.h"
#include "video/mode_setup.h"
#include "video/mode_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace korva::cli {
namespace {

CommandError usage(const std::string& message) {
    return CommandError(kUsage, message);
}

// A number as C reads it (strtol, base 0): 0x hex, a leading 0 octal, else decimal. The
// whole text must be the number: strtol stops at a NUL that the string may hold.
long number(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE)
        throw usage(what + " " + Quoted(text) + " is not a number");
    return v;
}

long inRange(const std::string& text, const std::string& what, long low, long high, bool hex) {
    const long v = number(text, what);
    if (v < low || v > high)
        throw usage(what + " " + Shown(text) + " is outside " +
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

// The mode table the program would use. A table without a single usable mode (one in the
// working directory hides the installed one) is a failure that names it.
LoadedTable modeTable(bool verbose) {
    const ModeTableLocation where = FindModeTable("");
    if (where.path.empty())
        throw CommandError(kFailure, std::string("no ") + kModeTableFileName +
                                         " in the current directory or the installed data "
                                         "folder");
    LoadedTable t{where.path, ReadModeTable(where.path)};
    if (verbose) {
        if (!where.note.empty()) Say(where.note);
        for (const std::string& p : t.table.problems)
            Say(where.path + ": " + p);
    }
    if (t.table.lines.empty())
        throw CommandError(
            kFailure,
            where.path + ": it holds no usable mode" +
                (t.table.problems.empty() ? std::string() : " (" + t.table.problems[0] + ")"));
    return t;
}

} // namespace

void Commands::on(CLI::App* sub, std::function<void()> action) {
    sub->callback([this, action = std::move(action)] { action_ = action; });
}

void Commands::reset() {
    o_ = Options{};
    action_ = nullptr;
}

void Commands::addTo(CLI::App& app, bool withRun) {
    app.require_subcommand(1, 1);
    // Options of the app may also follow the command.
    app.fallthrough();
    app.add_flag("-y,--yes", o_.yes,
                 "Do not ask for confirmation (download, eeprom set; in a script, where "
                 "nothing is asked, these commands need it)");
    on(app.add_subcommand("list", "List the boards present, with whether this user may open "
                                  "each"),
       [this] { list(); });

    auto* get = app.add_subcommand("get", "Read AFE registers (one burst read)");
    get->add_option("ADDR", o_.get.address, "First register, 0x00..0x41")->required();
    get->add_option("COUNT", o_.get.count, "How many registers (default 1, at most 64)");
    on(get, [this] { this->get(o_.get); });

    auto* set = app.add_subcommand("set", "Write an AFE register and read it back (exit 3 "
                                          "when the chip reads back something else)");
    set->add_option("ADDR", o_.set.address, "Register, 0x00..0x41")->required();
    set->add_option("VALUE", o_.set.value, "Value, 0x00..0xff")->required();
    set->add_flag("--gang", o_.set.gang,
                  "Write the whole gain (0x06..0x08) or offset (0x09..0x0b) group");
    on(set, [this] { this->set(o_.set); });

    auto* dump = app.add_subcommand("dump", "Read and print all 66 AFE registers");
    dump->add_option("--format", o_.dump.format,
                     "table (as i2cdump prints), file (the register dump file) or json");
    on(dump, [this] { this->dump(o_.dump); });

    auto* save = app.add_subcommand("save", "Read all AFE registers into a register dump file");
    save->add_option("FILE", o_.save.file, "Dump file to write (replaced whole, or left as it was)")
        ->required();
    on(save, [this] { this->save(o_.save); });
    auto* load = app.add_subcommand("load", "Write the registers of a register dump file");
    load->add_option("FILE", o_.load.file, "Dump file to read")->required();
    on(load, [this] { this->load(o_.load); });

    auto* compare = app.add_subcommand(
        "compare", "Read all AFE registers and compare them with a register dump file: one "
                   "line per register that differs (exit 3 when any does)");
    compare->add_option("FILE", o_.compare.file, "Dump file to compare with")->required();
    on(compare, [this] { this->compare(o_.compare); });

    auto* mode = app.add_subcommand("mode", "Video modes of mode_table.dat");
    mode->require_subcommand(1, 1);
    on(mode->add_subcommand("list", "List the modes"), [this] { modeList(); });
    auto* apply = mode->add_subcommand("apply", "Set the board up for a mode and an input");
    apply->add_option("NAME", o_.modeApply.name, "Mode name, as listed")->required();
    apply
        ->add_option("--input", o_.modeApply.input,
                     "VGA1, VGA2, Component1, Component2 or Composite1 (case and blanks "
                     "do not matter)")
        ->required();
    apply->add_flag("--csc", o_.modeApply.csc,
                    "Switch the colour space converter: on for component and composite, "
                    "off for VGA");
    on(apply, [this] { modeApply(o_.modeApply); });

    auto* de = app.add_subcommand("de", "The FPGA's data-enable window");
    de->require_subcommand(1, 1);
    on(de->add_subcommand("get", "Print HSTART HSTOP VSTART VSTOP"), [this] { deGet(); });
    auto* deSet = de->add_subcommand("set", "Write the four counts, 0..65535 each");
    deSet->add_option("HSTART", o_.deSet.counts[kHStart])->required();
    deSet->add_option("HSTOP", o_.deSet.counts[kHStop])->required();
    deSet->add_option("VSTART", o_.deSet.counts[kVStart])->required();
    deSet->add_option("VSTOP", o_.deSet.counts[kVStop])->required();
    on(deSet, [this] { this->deSet(o_.deSet); });

    auto* csc = app.add_subcommand("csc", "Switch the YPbPr-to-RGB colour space converter");
    csc->add_option("STATE", o_.csc.state, "on or off")->required();
    on(csc, [this] { this->csc(o_.csc); });

    auto* fpga = app.add_subcommand("fpga", "FPGA registers");
    fpga->require_subcommand(1, 1);
    auto* fpgaGet = fpga->add_subcommand("get", "Read one register");
    fpgaGet->add_option("ADDR", o_.fpgaGet.address, "Register, 0x00..0xff")->required();
    on(fpgaGet, [this] { this->fpgaGet(o_.fpgaGet); });
    auto* fpgaSet = fpga->add_subcommand("set", "Write one register");
    fpgaSet->add_option("ADDR", o_.fpgaSet.address, "Register, 0x00..0xff")->required();
    fpgaSet->add_option("VALUE", o_.fpgaSet.value, "Value, 0x00..0xff")->required();
    on(fpgaSet, [this] { this->fpgaSet(o_.fpgaSet); });
    on(fpga->add_subcommand("dump", "Read and print registers 0x00..0x24"), [this] { fpgaDump(); });

    auto* download = app.add_subcommand(
        "download", "Stream an FPGA bitstream to the board (asks first, unless -y is given)");
    download->add_option("FILE", o_.download.file, "Bitstream file, sent as it is")->required();
    on(download, [this] { this->download(o_.download); });

    auto* mux = app.add_subcommand("mux", "Select the input multiplexer's (TM6185) channel");
    mux->add_option("CHANNEL", o_.mux.channel, "0..3")->required();
    on(mux, [this] { this->mux(o_.mux); });
    auto* sync = app.add_subcommand(
        "sync", "Select the sync separator's (SQ7302) mode: 0 NTSC/PAL, 1 tri-level, 2 HDTV, "
                "3 computer RGB");
    sync->add_option("MODE", o_.sync.mode, "0..3")->required();
    on(sync, [this] { this->sync(o_.sync); });
    auto* port = app.add_subcommand("port", "Drive a byte on the microcontroller's port A, B or E");
    port->add_option("PORT", o_.port.port, "a, b or e")->required();
    port->add_option("VALUE", o_.port.value, "Value, 0x00..0xff")->required();
    on(port, [this] { this->port(o_.port); });
    auto* eeprom = app.add_subcommand("eeprom", "The board's configuration EEPROM");
    eeprom->require_subcommand(1, 1);
    auto* eepromSet =
        eeprom->add_subcommand("set", "Write one byte (asks first, unless -y is given)");
    eepromSet->add_option("ADDR", o_.eepromSet.address, "Byte address, 0x00..0xff")->required();
    eepromSet->add_option("VALUE", o_.eepromSet.value, "Value, 0x00..0xff")->required();
    on(eepromSet, [this] { this->eepromSet(o_.eepromSet); });

    if (withRun) {
        auto* run = app.add_subcommand(
            "run", "Carry out commands from FILE (or standard input), one a line, in this "
                   "process: the board keeps its state between lines");
        run->add_option("FILE", o_.run.file, "Script file, or - for standard input");
        on(run, [this] { runScript(o_.run); });
    }
}

void Commands::run() {
    if (action_) action_();
}

void Commands::print(const std::string& text) const {
    std::fwrite(text.data(), 1, text.size(), stdout);
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
            printJson(SimulatedBoardJson());
        else
            print("simulated board (--simulate)\n");
        return;
    }
    const BoardChoice found = session_.boards();
    if (found.boards.empty()) throw CommandError(kFailure, "no boards found");
    if (options_.json) {
        printJson(BoardsJson(found.boards, found.chosen));
        return;
    }
    // "*" marks the board a command would use (without --device, the only one).
    std::string text;
    for (std::size_t i = 0; i < found.boards.size(); ++i)
        text += (found.chosen == i ? "* " : "  ") + DescribeUsbBoard(found.boards[i]) + "\n";
    print(text);
}

void Commands::get(const GetOptions& o) {
    const int first = afeAddress(o.address);
    const long most = std::min<long>(kMaxBurstRead, kAfeLastAddress + 1 - first);
    const int count =
        o.count.empty() ? 1 : static_cast<int>(inRange(o.count, "count", 1, most, false));
    const auto values = ReadAfeRegisters(session_.board(), first, count);
    session_.check("reading the AFE registers");
    if (options_.json) {
        printJson(RegistersJson(first, optionals(*values)));
        return;
    }
    std::string text;
    for (const std::uint8_t v : *values)
        text += Hex(v) + "\n";
    print(text);
}

void Commands::set(const SetOptions& o) {
    const int address = afeAddress(o.address);
    const std::uint8_t value = byte(o.value, "value");
    const Gang group = AfeRegisters()[static_cast<std::size_t>(address)].gang;
    if (o.gang && group == Gang::None)
        throw usage("--gang needs a gain register (0x06..0x08) or an offset register "
                    "(0x09..0x0b), not " +
                    Hex(address));
    std::vector<AfeWrite> writes;
    if (o.gang) {
        const auto w = WriteAfeGanged(session_.board(), group, value);
        session_.check("writing the registers");
        writes.assign(w->begin(), w->end());
    } else {
        const auto w = WriteAfeRegister(session_.board(), address, value);
        session_.check("writing the register");
        writes.push_back(*w);
    }
    std::string mismatch;
    for (const AfeWrite& w : writes) {
        const std::string where = o.gang ? " to " + Hex(w.address) : "";
        if (w.matches())
            verbose("Value " + Hex(w.written) + " written" + where + ", readback matched");
        else
            mismatch += (mismatch.empty() ? "" : "; ") + std::string("wrote ") + Hex(w.written) +
                        where + ", read back " + Hex(w.readBack);
    }
    if (options_.json) printJson(WritesJson(writes));
    if (!mismatch.empty()) throw CommandError(kMismatch, "Warning - data mismatch - " + mismatch);
}

void Commands::dump(const DumpOptions& o) {
    if (o.format != "table" && o.format != "file" && o.format != "json")
        throw usage("unknown format " + Quoted(o.format) + " (table, file or json)");
    const std::string format = options_.json ? "json" : o.format;
    const auto values = ReadAllAfeRegisters(session_.board());
    session_.check("reading the AFE registers");
    const std::vector<std::uint8_t> all(values->begin(), values->end());
    if (format == "file")
        print(FormatDump(DumpTexts(*values), session_.hiddenModesShown()));
    else if (format == "json")
        printJson(RegistersJson(0, optionals(all)));
    else
        print(RegisterTable(optionals(all)));
}

void Commands::save(const FileOptions& o) {
    const auto values = ReadAllAfeRegisters(session_.board());
    session_.check("reading the AFE registers");
    const std::string error =
        WriteFileAtomically(o.file, FormatDump(DumpTexts(*values), session_.hiddenModesShown()));
    if (!error.empty())
        throw CommandError(kFailure, o.file + ": cannot save the registers there (" + error +
                                         "); the file was not changed");
    if (options_.json) printJson(SavedJson(o.file));
    verbose("Saved " + std::to_string(kAfeRegisterCount) + " registers to " + o.file);
}

void Commands::load(const FileOptions& o) {
    const DumpParseResult parsed = ReadDumpFile(o.file);
    if (!parsed.values)
        throw CommandError(kFailure, o.file + ": " + parsed.error + "; no register was written");
    WriteDumpValues(session_.board(), *parsed.values);
    session_.check("writing the registers");
    const int skipped = parsed.skipped();
    if (skipped > 0) Say(o.file + ": " + SkippedRegistersText(skipped));
    if (options_.json) printJson(LoadedJson(o.file, *parsed.values));
    verbose("Wrote " + std::to_string(kAfeRegisterCount - skipped) + " registers from " + o.file);
}

void Commands::compare(const FileOptions& o) {
    const DumpParseResult parsed = ReadDumpFile(o.file);
    if (!parsed.values)
        throw CommandError(kFailure, o.file + ": " + parsed.error + "; nothing was read");
    const auto values = ReadAllAfeRegisters(session_.board());
    session_.check("reading the AFE registers");
    const DumpValues& file = *parsed.values;
    const std::vector<RegisterDifference> differences = DumpDifferences(*values, file);
    const auto differ = static_cast<int>(differences.size());
    if (options_.json) {
        printJson(ComparedJson(o.file, file, differences));
    } else {
        std::string text;
        for (const RegisterDifference& d : differences)
            text += Hex(d.address) + ": board " + Hex(d.board) + ", file " + Hex(d.file) + "\n";
        print(text);
    }
    const int skipped = parsed.skipped();
    const std::string notCompared = skipped == 0 ? std::string() : NotComparedText(skipped);
    if (differ > 0)
        throw CommandError(kMismatch,
                           std::to_string(differ) +
                               (differ == 1 ? " register differs" : " registers differ") +
                               " from " + o.file + (notCompared.empty() ? "" : "; " + notCompared));
    if (!notCompared.empty()) Say(o.file + ": " + notCompared);
    verbose("All " + std::to_string(kAfeRegisterCount - skipped) + " registers compared match " +
            o.file);
}

void Commands::modeList() {
    const LoadedTable t = modeTable(options_.verbose);
    if (options_.json) {
        std::vector<ModeLine> modes;
        for (const std::string& line : t.table.lines)
            modes.push_back(*ParseModeLine(line));
        printJson(ModesJson(t.path, modes));
        return;
    }
    std::string text;
    for (const std::string& line : t.table.lines)
        text += ParseModeLine(line)->name + "\n";
    print(text);
}

void Commands::modeApply(const ModeApplyOptions& o) {
    const auto connector = FindConnector(o.input);
    if (!connector)
        throw usage("unknown input " + Quoted(o.input) +
                    " (VGA1, VGA2, Component1, Component2 or Composite1)");
    const LoadedTable t = modeTable(options_.verbose);
    const std::string* line = FindModeLine(t.table, o.name);
    if (!line)
        throw usage("no mode " + Quoted(o.name, kShownName) + " in " + t.path +
                    " (korva726ctl mode list shows them)");
    std::string problem;
    const auto setup = ModeSettingsFromLine(*line, connector, o.csc, &problem);
    if (!setup)
        throw CommandError(kFailure,
                           t.path + ": mode " + Quoted(o.name, kShownName) + ": " + problem);
    ApplyModeSetup(session_.board(), *setup);
    session_.check("setting up the mode");
    const Connector& c = Connectors()[static_cast<std::size_t>(*connector)];
    if (options_.json) printJson(ModeAppliedJson(o.name, c, o.csc));
    verbose("Set up for " + o.name + " on " + c.caption);
}

void Commands::deGet() {
    const auto window = ReadDeWindow(session_.board());
    session_.check("reading the DE window");
    if (!window) throw CommandError(kFailure, "reading the DE window: the board did not answer");
    if (options_.json) {
        printJson(DeWindowJson(*window));
        return;
    }
    std::string text;
    for (int k = 0; k < kDeCounts; ++k)
        text += (k ? " " : "") +
                std::to_string(static_cast<long>((*window)[static_cast<std::size_t>(k)]));
    print(text + "\n");
}

void Commands::deSet(const DeSetOptions& o) {
    const char* names[kDeCounts] = {"HSTART", "HSTOP", "VSTART", "VSTOP"};
    DeWindow window{};
    for (int k = 0; k < kDeCounts; ++k)
        window[static_cast<std::size_t>(k)] = static_cast<double>(
            inRange(o.counts[static_cast<std::size_t>(k)], names[k], 0, 65535, false));
    WriteDeWindow(session_.board(), window);
    session_.check("writing the DE window");
    if (options_.json) printJson(DeWindowJson(window));
}

void Commands::csc(const CscOptions& o) {
    if (o.state != "on" && o.state != "off")
        throw usage("the converter is switched on or off, not " + Quoted(o.state));
    const bool on = o.state == "on";
    SetConverter(session_.board(), on);
    session_.check("switching the converter");
    if (options_.json) printJson(ConverterJson(on));
}

void Commands::fpgaGet(const FpgaGetOptions& o) {
    const int address = byte(o.address, "FPGA register");
    const auto value = ReadFpgaRegister(session_.board(), address);
    if (!value)
        throw CommandError(kFailure,
                           "reading FPGA register " + Hex(address) + ": the board did not answer");
    print(options_.json ? RegisterJson(address, value).dump() + "\n" : Hex(*value) + "\n");
}

void Commands::fpgaSet(const FpgaSetOptions& o) {
    const int address = byte(o.address, "FPGA register");
    const std::uint8_t value = byte(o.value, "value");
    WriteFpgaRegister(session_.board(), address, value);
    session_.check("writing FPGA register " + Hex(address));
    if (options_.json) printJson(RegisterJson(address, value));
}

void Commands::fpgaDump() {
    const auto values = ReadAllFpgaRegisters(session_.board());
    const std::vector<std::optional<std::uint8_t>> all(values.begin(), values.end());
    if (options_.json)
        printJson(RegistersJson(0, all));
    else
        print(RegisterTable(all));
}

bool Commands::confirmed(const std::string& question) {
    if (o_.yes || options_.yes) return true;
    if (inScript_) return false;
    const std::string prompt = Escaped(question) + " Continue? [Y/n] ";
    std::fwrite(prompt.data(), 1, prompt.size(), stderr);
    LineReader in(STDIN_FILENO);
    std::string answer;
    const bool got = in.next(answer) == LineReader::Got::Line;
    // A terminal has echoed the answer and its Enter; otherwise the prompt's line ends here.
    if (!got || !::isatty(STDIN_FILENO)) std::fputc('\n', stderr);
    if (answer.ends_with('\r')) answer.pop_back();
    return got && (answer.empty() || answer == "y" || answer == "Y" || answer == "yes");
}

void Commands::download(const DownloadOptions& o) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(o.file, ec))
        throw CommandError(
            kFailure, o.file + ": " +
                          (std::filesystem::exists(o.file, ec) ? "not a file" : "no such file") +
                          "; nothing was sent");
    if (!confirmed("Send " + o.file + " to the board's FPGA configuration pipe?"))
        throw usage(inScript_ ? "download in a script needs -y; nothing was sent"
                              : "download not confirmed; nothing was sent");
    const DataPipeResult r =
        DownloadBitstreamFile(session_.board().link(), o.file, {}, nullptr,
                              [](std::uint64_t, std::uint64_t) { return StopSignal() == 0; });
    if (r.outcome == DataPipeResult::Outcome::Stopped)
        throw Stopped("after " + std::to_string(r.dataPackets) + " data packets of " + o.file);
    if (r.outcome == DataPipeResult::Outcome::FileProblem) throw CommandError(kFailure, r.error);
    session_.check("downloading " + o.file);
    if (options_.json) printJson(DownloadJson(o.file, r.dataPackets));
    verbose("Sent " + o.file + " in " + std::to_string(r.dataPackets) + " data packets");
}

void Commands::mux(const MuxOptions& o) {
    const int channel = static_cast<int>(inRange(o.channel, "channel", 0, 3, false));
    if (!session_.board().TM6185Channel_Select(channel))
        session_.check("selecting the multiplexer channel");
    if (options_.json) printJson(SelectedJson("mux_channel", channel));
}

void Commands::sync(const SyncOptions& o) {
    const int mode = static_cast<int>(inRange(o.mode, "sync mode", 0, 3, false));
    if (!session_.board().SQ7302Channel_Select(mode))
        session_.check("selecting the sync separator's mode");
    if (options_.json) printJson(SelectedJson("sync_mode", mode));
}

void Commands::port(const PortOptions& o) {
    const auto port = PortLetter(o.port);
    if (!port) throw usage("unknown port " + Quoted(o.port) + " (a, b or e)");
    const std::string name(1, *port);
    const std::uint8_t value = byte(o.value, "value");
    if (!WritePort(session_.board(), *port, value)) session_.check("writing port " + name);
    if (options_.json) printJson(PortJson(name, value));
}

void Commands::eepromSet(const EepromSetOptions& o) {
    const int address = byte(o.address, "EEPROM address");
    const std::uint8_t value = byte(o.value, "value");
    if (!confirmed("Write " + Hex(value) + " to EEPROM byte " + Hex(address) + "?"))
        throw usage(inScript_ ? "eeprom set in a script needs -y; nothing was sent"
                              : "EEPROM write not confirmed; nothing was sent");
    if (!session_.board().WriteByte_EEPROM(address, value))
        session_.check("writing EEPROM byte " + Hex(address));
    if (options_.json) printJson(RegisterJson(address, value));
}

void Commands::runScript(const RunOptions& o) {
    GlobalOptions inner = options_;
    inner.yes = options_.yes || o_.yes;
    if (o.file == "-") {
        LineReader in(STDIN_FILENO);
        RunScript(in, session_, inner);
        return;
    }
    const int fd = ::open(o.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CommandError(kFailure, o.file + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        throw CommandError(kFailure, o.file + ": is a directory");
    LineReader in(fd);
    RunScript(in, session_, inner);
}

std::string UsageErrorText(const CLI::App& app, const CLI::ParseError& error) {
    const bool extras = dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr;
    if (!extras && !dynamic_cast<const CLI::RequiredError*>(&error)) return error.what();
    const CLI::App* at = &app;
    std::string path;
    while (!at->get_subcommands().empty()) {
        at = at->get_subcommands().front();
        path += at->get_name() + " ";
    }
    const std::vector<std::string> rest = app.remaining(true);
    if (at->get_require_subcommand_min() > 0) { // a command belongs here
        if (!rest.empty()) return "unknown command " + Quoted(path + rest.front(), kShownName);
        if (!extras) {
            if (path.empty()) return "no command given";
            path.pop_back();
            return "\"" + path + "\" needs a command";
        }
    }
    if (!extras || rest.empty()) return error.what();
    std::string text = rest.size() == 1 ? "the argument" : "the arguments";
    for (const std::string& r : rest)
        text += " " + Quoted(r);
    return text + (rest.size() == 1 ? " was not expected" : " were not expected");
}
} // namespace korva::cli
