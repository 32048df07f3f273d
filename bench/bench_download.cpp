// Bitstream downloads and long sessions on the simulated board: the time of a download
// (with and without a capture file) and the resident memory that a 16 MiB download and a
// thousand Read Alls add to the process.
//
// Run from a Release build:
//   bench_download --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include "device/board.h"
#include "device/capture_layer.h"
#include "device/sim_board.h"
#include "tools/download.h"

#include "sim_stack.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using namespace korva;
using korva::bench::Stack;
namespace fs = std::filesystem;

namespace {

// A folder of this process holding a bitstream of `bytes` bytes; removed at exit.
const fs::path& bitstreamFolder(std::size_t bytes) {
    static const struct Folder {
        fs::path dir = fs::temp_directory_path() / ("korva-bench-" + std::to_string(::getpid()));
        Folder() { fs::create_directories(dir); }
        ~Folder() { fs::remove_all(dir); }
    } folder;
    static std::size_t written = 0;
    if (written != bytes) {
        std::string data(bytes, '\0');
        for (std::size_t i = 0; i < bytes; ++i)
            data[i] = static_cast<char>(i * 131 + (i >> 9));
        std::ofstream(folder.dir / kBitstreamFileName, std::ios::binary) << data;
        written = bytes;
    }
    return folder.dir;
}

// Resident memory of the process in MiB: "VmRSS" now, or "VmHWM" the peak since resetPeak.
double residentMiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string word;
    while (in >> word)
        if (word == key) {
            double kib = 0;
            in >> kib;
            return kib / 1024.0;
        }
    return 0;
}
void resetPeak() {
    malloc_trim(0); // what earlier runs freed goes back to the system first
    std::ofstream("/proc/self/clear_refs") << "5";
}

void download(benchmark::State& state, bool capture) {
    const fs::path dir = bitstreamFolder(1 << 20);
    const std::string capturePath = capture ? (dir / "capture.pcap").string() : std::string();
    for (auto _ : state) {
        state.PauseTiming();
        auto s = std::make_unique<Stack>(capturePath);
        state.ResumeTiming();
        const auto result = DownloadBitstream(*s->link, dir, {});
        if (result.outcome != DataPipeResult::Outcome::Done) state.SkipWithError("download failed");
        state.PauseTiming();
        s.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * (1 << 20));
}

// 1 MiB to the simulated board.
void BM_Download1MiB(benchmark::State& state) {
    download(state, false);
}
BENCHMARK(BM_Download1MiB)->Unit(benchmark::kMillisecond);

// The same with every packet recorded to a capture file.
void BM_Download1MiBCaptureFile(benchmark::State& state) {
    download(state, true);
}
BENCHMARK(BM_Download1MiBCaptureFile)->Unit(benchmark::kMillisecond);

// Resident memory added by a 16 MiB download: at its peak, and still held afterwards while
// the board lives on (budget: under 2 MiB).
void BM_Download16MiBMemory(benchmark::State& state) {
    const fs::path dir = bitstreamFolder(16 << 20);
    for (auto _ : state) {
        Stack s;
        resetPeak();
        const double before = residentMiB("VmRSS:");
        DownloadBitstream(*s.link, dir, {});
        state.counters["peak_MiB"] = residentMiB("VmHWM:") - before;
        state.counters["kept_MiB"] = residentMiB("VmRSS:") - before;
    }
}
BENCHMARK(BM_Download16MiBMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Resident memory added by a thousand Read Alls (two burst reads each); budget: flat.
void BM_ReadAll1000Memory(benchmark::State& state) {
    for (auto _ : state) {
        Stack s;
        s.board->ReadBurstI2C(kAfeI2cAddress, 0x00, 64); // first use of everything
        resetPeak();
        const double before = residentMiB("VmRSS:");
        for (int i = 0; i < 1000; ++i) {
            s.board->ReadBurstI2C(kAfeI2cAddress, 0x00, 64);
            s.board->ReadBurstI2C(kAfeI2cAddress, 0x40, 2);
        }
        state.counters["kept_MiB"] = residentMiB("VmRSS:") - before;
    }
}
BENCHMARK(BM_ReadAll1000Memory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
