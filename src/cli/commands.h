// The commands of korva726ctl on a CLI11 app: each parses its arguments, checks them
// (nothing reaches the board when one is out of range), calls the core operation and
// prints what is asked for. `run` reads commands from a file, one a line, and carries
// them out in this process, on the same board.
#pragma once

#include "output.h"
#include "session.h"

#include <CLI/CLI.hpp>

#include <array>
#include <functional>
#include <string>

namespace korva::cli {

struct GlobalOptions {
    bool json = false;
    bool verbose = false;
    bool yes = false; // -y given for the whole run (a script's own lines may add it)
};

class Commands {
  public:
    // inScript: the commands come from a `run` script (no confirmation is asked there).
    Commands(Session& session, const GlobalOptions& options, bool inScript = false)
        : session_(session), options_(options), inScript_(inScript) {}
    Commands(const Commands&) = delete;
    Commands& operator=(const Commands&) = delete;

    // Adds the subcommands (and `run` when asked) to `app`, their options bound to this
    // object: it must outlive the app's parses.
    void addTo(CLI::App& app, bool withRun);
    // Every command's options back to their defaults and no command chosen, so that the
    // same app parses the next line of a script afresh.
    void reset();
    // Carries out the command the parse chose. Throws CommandError.
    void run();

  private:
    // What each command's arguments and options are parsed into.
    struct GetOptions {
        std::string address, count;
    };
    struct SetOptions {
        std::string address, value;
        bool gang = false;
    };
    struct DumpOptions {
        std::string format = "table";
    };
    struct FileOptions {
        std::string file;
    };
    struct ModeApplyOptions {
        std::string name, input;
        bool csc = false;
    };
    struct DeSetOptions {
        std::array<std::string, kDeCounts> counts;
    };
    struct CscOptions {
        std::string state;
    };
    struct FpgaGetOptions {
        std::string address;
    };
    struct FpgaSetOptions {
        std::string address, value;
    };
    struct DownloadOptions {
        std::string file;
    };
    struct MuxOptions {
        std::string channel;
    };
    struct SyncOptions {
        std::string mode;
    };
    struct PortOptions {
        std::string port, value;
    };
    struct EepromSetOptions {
        std::string address, value;
    };
    struct RunOptions {
        std::string file = "-";
    };
    struct Options {
        bool yes = false; // -y: no confirmation is asked
        GetOptions get;
        SetOptions set;
        DumpOptions dump;
        FileOptions save, load, compare;
        ModeApplyOptions modeApply;
        DeSetOptions deSet;
        CscOptions csc;
        FpgaGetOptions fpgaGet;
        FpgaSetOptions fpgaSet;
        DownloadOptions download;
        MuxOptions mux;
        SyncOptions sync;
        PortOptions port;
        EepromSetOptions eepromSet;
        RunOptions run;
    };

    // Makes `action` the command to run when the parse chooses `sub`.
    void on(CLI::App* sub, std::function<void()> action);
    void list();
    void get(const GetOptions& o);
    void set(const SetOptions& o);
    void dump(const DumpOptions& o);
    void save(const FileOptions& o);
    void load(const FileOptions& o);
    void compare(const FileOptions& o);
    void modeList();
    void modeApply(const ModeApplyOptions& o);
    void deGet();
    void deSet(const DeSetOptions& o);
    void csc(const CscOptions& o);
    void fpgaGet(const FpgaGetOptions& o);
    void fpgaSet(const FpgaSetOptions& o);
    void fpgaDump();
    void download(const DownloadOptions& o);
    void mux(const MuxOptions& o);
    void sync(const SyncOptions& o);
    void port(const PortOptions& o);
    void eepromSet(const EepromSetOptions& o);
    void runScript(const RunOptions& o);
    // Asks `question` on standard error unless -y was given: Enter or y means yes, the end
    // of the input no. In a script nothing is asked: without -y the answer is no.
    bool confirmed(const std::string& question);
    void print(const std::string& text) const;
    void printJson(const nlohmann::json& doc) const;
    void verbose(const std::string& text) const;

    Session& session_;
    const GlobalOptions& options_;
    bool inScript_;
    Options o_;
    std::function<void()> action_;
};

// The one line a parse error is told in. A word where a command belongs is named as an
// unknown command rather than as a missing one.
std::string UsageErrorText(const CLI::App& app, const CLI::ParseError& error);

} // namespace korva::cli
