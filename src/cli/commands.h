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
#include <iosfwd>
#include <string>

namespace korva::cli {

struct GlobalOptions {
    bool json = false;
    bool verbose = false;
};

class Commands {
  public:
    // inScript: the commands come from a `run` script (no confirmation is asked there).
    Commands(Session& session, const GlobalOptions& options, bool inScript = false)
        : session_(session), options_(options), inScript_(inScript) {}

    // Adds the subcommands (and `run` when asked) to `app`.
    void addTo(CLI::App& app, bool withRun);
    // Carries out the command the parse chose. Throws CommandError.
    void run();

  private:
    void on(CLI::App* sub, void (Commands::*action)());
    void list();
    void get();
    void set();
    void dump();
    void save();
    void load();
    void modeList();
    void modeApply();
    void deGet();
    void deSet();
    void csc();
    void fpgaGet();
    void fpgaSet();
    void fpgaDump();
    void download();
    void runScript();
    void print(const std::string& text) const;
    void printJson(const nlohmann::json& doc) const;
    void verbose(const std::string& text) const;

    Session& session_;
    const GlobalOptions& options_;
    bool inScript_;
    void (Commands::*action_)() = nullptr;

    std::string address_, count_, value_, file_, mode_, input_, state_;
    std::string format_ = "table";
    std::array<std::string, 4> de_;
    bool gang_ = false;
    bool csc_ = false;
    bool yes_ = false;
};

// The one line a parse error is told in. A word where a command belongs is named as an
// unknown command rather than as a missing one.
std::string UsageErrorText(const CLI::App& app, const CLI::ParseError& error);

// Carries out the lines of a script: one command a line, '#' starts a comment, blank
// lines are skipped. Stops at the first line that fails, with its exit status and a
// message that names the line.
void RunScript(std::istream& in, Session& session, const GlobalOptions& options);

} // namespace korva::cli
