// Cost of one command exchange through the whole stack: board operation -> CommandLink ->
// USB layer -> simulated board, with and without the USB capture in between.
//
// Run from a Release build:
//   bench_exchange --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include "device/board.h"
#include "device/capture_layer.h"
#include "device/sim_board.h"

#include "sim_stack.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

using namespace korva;
using korva::bench::Stack;

namespace {

void BM_WriteByteAfe(benchmark::State& state) {
    Stack s;
    int v = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(s.board->WriteByte_AFE(0x05, v++ & 0xFF));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteByteAfe);

void BM_ReadByteFpga(benchmark::State& state) {
    Stack s;
    s.sim.setFpga(0x10, 0x7F);
    for (auto _ : state)
        benchmark::DoNotOptimize(s.board->ReadByte_FPGA(0x10));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadByteFpga);

// The same write with every transfer recorded; /dev/null shows the cost of building and
// buffering the records, a real file adds the writes of the buffer to the disk.
void BM_WriteByteAfeCaptureDevNull(benchmark::State& state) {
    Stack s("/dev/null");
    int v = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(s.board->WriteByte_AFE(0x05, v++ & 0xFF));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteByteAfeCaptureDevNull);

void BM_WriteByteAfeCaptureFile(benchmark::State& state) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("korva-bench-capture-" + std::to_string(::getpid()) + ".pcap"))
                                 .string();
    {
        Stack s(path.c_str());
        int v = 0;
        for (auto _ : state)
            benchmark::DoNotOptimize(s.board->WriteByte_AFE(0x05, v++ & 0xFF));
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove(path);
}
// A fixed count keeps the file small (about 450 bytes per exchange). The CPU time of the
// first is the exchanging thread's; the second counts the capture's writing thread too.
BENCHMARK(BM_WriteByteAfeCaptureFile)->Iterations(20000);
BENCHMARK(BM_WriteByteAfeCaptureFile)->Iterations(20000)->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
