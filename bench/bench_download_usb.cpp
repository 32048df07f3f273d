// A bitstream download over the libusb layer to a board emulated with umockdev (the
// emulator of the tests): libusb's own Linux code submits and reaps every packet, so the
// figure shows how well the download keeps the bus busy, less the latency of a real bus.
//
// Run from a Release build:
//   bench_download_usb --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include "device/libusb_layer.h"
#include "tools/download.h"
#include "umockdev_board.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace korva;
namespace fs = std::filesystem;

namespace {

struct NullSink : ErrorSink {
    void errMsg(std::int16_t) override {}
};

// 256 KiB: 4097 packets of 64 bytes.
void BM_DownloadLibusbEmulated256KiB(benchmark::State& state) {
    constexpr std::size_t kBytes = 256 << 10;
    const fs::path dir =
        fs::temp_directory_path() / ("korva-bench-usb-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / kBitstreamFileName, std::ios::binary) << std::string(kBytes, '\x5A');
    {
        test::UmockdevBed bed;
        test::EmulatedBoard emulated(bed, kDefaultVendorId, kProductId, 2);
        emulated.plug();
        LibusbLayer layer;
        DeviceContext ctx;
        NullSink sink;
        CommandLink link(layer, ctx, sink);
        DriverHandle driver = 0;
        layer.init(&driver, MatchEntry{}, MakeEventTable(layer, ctx));
        for (auto _ : state)
            if (DownloadBitstream(link, dir, {}).outcome != DataPipeResult::Outcome::Done)
                state.SkipWithError("download failed");
        layer.uninit(driver);
    }
    fs::remove_all(dir);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBytes));
}
BENCHMARK(BM_DownloadLibusbEmulated256KiB)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
