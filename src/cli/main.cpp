// korva726ctl: the KORVA726EVAL board from the shell, for scripts and CI on the bench PC.
// Exit status: 0 success, 1 usage, 2 board or file failure, 3 read-back mismatch; 130 and
// 143 when SIGINT or SIGTERM stopped it.
#include "commands.h"
#include "stop.h"

#include "device/exchange.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>

using namespace korva::cli;

int main(int argc, char** argv) {
    InstallStopSignals();
    SessionOptions sessionOptions;
    GlobalOptions options;
    Session session(sessionOptions);
    Commands commands(session, options);

    CLI::App app("Command-line control of the KORVA726EVAL video AFE evaluation board. Numbers "
                 "are read as C reads them: 0x1b hex, 27 decimal, 033 octal.",
                 "korva726ctl");
    app.set_version_flag("--version", std::string("korva726ctl ") + KORVA_VERSION);
    app.add_flag("--simulate", sessionOptions.simulate, "Use the built-in simulated board");
    app.add_option("--capture", sessionOptions.capture,
                   "Write every USB transfer to FILE (pcap, USB link type, as tshark reads it)")
        ->type_name("FILE");
    app.add_option("--device", sessionOptions.device,
                   "The board to use when several are connected: serial number, USB port path "
                   "(1-2.3) or BUS:ADDR")
        ->type_name("ID");
    app.add_flag("--json", options.json, "Print one JSON document per command on standard output");
    app.add_flag("-v,--verbose", options.verbose,
                 "Say what was done, and print the USB layer's trace on standard error");
    app.footer("Exit status: 0 success, 1 usage, 2 board or file failure, 3 read-back mismatch; "
               "130 or 143 when stopped by SIGINT or SIGTERM.\n");
    commands.addTo(app, true);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        // Under --json nothing but JSON goes to standard output.
        return app.exit(e, options.json ? std::cerr : std::cout);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e, options.json ? std::cerr : std::cout);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        Say(UsageErrorText(app, e) + " (korva726ctl --help shows the usage)");
        return kUsage;
    }
    sessionOptions.verbose = options.verbose;
    if (options.verbose)
        korva::SetTraceHandler([](std::string_view text) {
            std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
        });

    int status = kSuccess;
    std::string message;
    std::optional<Stopped> stopped;
    try {
        session.start();
        commands.run();
    } catch (const Stopped& e) {
        stopped = e;
    } catch (const CommandError& e) {
        status = e.status;
        message = e.what();
    } catch (const std::invalid_argument& e) {
        status = kUsage;
        message = e.what();
    }
    const bool captured = session.finish();
    // A signal outranks what it caused (a prompt or a read cut short).
    if (StopSignal() != 0) {
        Say(StoppedText(stopped.value_or(Stopped())));
        return 128 + StopSignal();
    }
    if (status != kSuccess) {
        Say(message);
        return status;
    }
    return captured ? kSuccess : kFailure;
}
