// korva726ctl's `run` in process: the cost of one script line that reads a register
// (`get 0x06`: reading the line, parsing it, one exchange with the simulated board, the
// printed value), without a capture and with one to a file. The capture's cost is the
// difference of the two, counted as the whole process's CPU time, the capture's writing
// thread included.
//
// Run from a Release build:
//   bench_cli --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include "cli/script.h"
#include "cli/session.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using namespace korva::cli;
namespace fs = std::filesystem;

namespace {

constexpr int kLines = 20000; // a script's lines, each one exchange

// The script and the capture file, in a folder of this process removed at exit.
struct Files {
    fs::path dir = fs::temp_directory_path() / ("korva-bench-cli-" + std::to_string(::getpid()));
    fs::path script = dir / "get.txt";
    fs::path capture = dir / "c.pcap";
    Files() {
        fs::create_directories(dir);
        std::ofstream out(script);
        for (int i = 0; i < kLines; ++i)
            out << "get 0x06\n";
    }
    ~Files() { fs::remove_all(dir); }
};
const Files& files() {
    static const Files f;
    return f;
}

// Standard output goes to /dev/null while a script prints its values.
struct QuietStdout {
    int saved = ::dup(STDOUT_FILENO);
    QuietStdout() {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
};

// Each iteration runs the whole script in a session of its own (started, with its capture
// file created, outside the timing) and closes it, the capture's last write included.
void runScript(benchmark::State& state, bool capture) {
    const QuietStdout quiet;
    SessionOptions options;
    options.simulate = true;
    if (capture) options.capture = files().capture.string();
    const GlobalOptions global;
    for (auto _ : state) {
        state.PauseTiming();
        auto session = std::make_unique<Session>(options);
        session->start();
        const int fd = ::open(files().script.c_str(), O_RDONLY | O_CLOEXEC);
        auto in = std::make_unique<LineReader>(fd);
        state.ResumeTiming();
        RunScript(*in, *session, global);
        session->finish();
        session.reset();
        state.PauseTiming();
        in.reset();
        ::close(fd);
        state.ResumeTiming();
    }
    state.counters["per_line"] = benchmark::Counter(
        kLines, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ScriptGetLine(benchmark::State& state) {
    runScript(state, false);
}
void BM_ScriptGetLineCapture(benchmark::State& state) {
    runScript(state, true);
}
BENCHMARK(BM_ScriptGetLine)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ScriptGetLineCapture)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ScriptGetLine)->MeasureProcessCPUTime();
BENCHMARK(BM_ScriptGetLineCapture)->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
