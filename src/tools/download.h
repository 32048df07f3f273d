// The FPGA configuration download and its neighbours on the board's data pipes: the
// bitstream is streamed raw, in 64-byte packets, on bulk pipe 0x05 after a one-byte start
// packet; the probe shows a file's bytes and exchanges one packet each way on 0x05/0x85.
#pragma once

#include "device/exchange.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace korva {

// Bare file names, looked up in the working directory.
constexpr const char* kBitstreamFileName = "fpga_top.bit";
constexpr const char* kProbeFileName = "fpgatop.Bit";
constexpr std::size_t kDataPacketSize = 64;
// The probe shows at most this many bytes of its file.
constexpr std::size_t kProbeShowLimit = 4096;

// Number of 64-byte data packets for a file of `length` bytes: length / 64 rounded to the
// nearest whole number (halves to the even neighbour), plus one. Always covers the file.
std::uint64_t DataPacketCount(std::uint64_t length);

struct DataPipeResult {
    enum class Outcome {
        Done,     // everything was sent
        Reported, // a failure went to ErrMsg (no board, a failed transfer)
        // The file is missing or cannot be opened (nothing was sent), or it could not be
        // read up to the length it had when the download started (the packets before the
        // failed read were sent, nothing after them).
        FileProblem,
        Stopped, // the progress callback asked to stop: nothing went after dataPackets
    };
    Outcome outcome = Outcome::Done;
    std::string error; // FileProblem: text for a message box, naming the file
    // FileProblem: the file is not there (or its folder cannot be searched), so that a
    // front end may report that apart from other problems.
    bool fileMissing = false;
    // Data packets the board accepted on pipe 0x05; after a failed one, also those that were
    // already on the bus behind it.
    std::uint64_t dataPackets = 0;
};

// Told after each block of data packets has gone out (the packets sent so far, and all
// there are to send); returning false stops the download before the next block. A front
// end checks here for a request to stop and shows how far the download has come.
using DownloadProgress = std::function<bool(std::uint64_t sent, std::uint64_t total)>;

// The bitstream download: validity check (no board: ErrMsg 0, nothing opened), open
// "fpga_top.bit" in workingDir (empty = the current directory), the start packet, hide the
// download button, the pipe number of the shared transfer record set to 5 (when given),
// then the file in DataPacketCount(L) packets of 64 bytes (bytes past the end of the file
// are 0), streamed with many in flight, and the button shown again. The first write that
// fails goes to ErrMsg with its status and nothing more is sent. A missing file is not
// created: the result says so and nothing is sent. A file that ends early or fails to read
// stops the download before the block it was read for (FileProblem, naming the offset);
// so does `progress` returning false (Stopped). Either way the button is shown again.
DataPipeResult DownloadBitstream(CommandLink& link, const std::filesystem::path& workingDir,
                                 const std::function<void(bool)>& setDownloadButtonVisible,
                                 PipeTransferRecord* transferRecord = nullptr,
                                 const DownloadProgress& progress = {});

// The same steps for a bitstream file named by its path.
DataPipeResult DownloadBitstreamFile(CommandLink& link, const std::filesystem::path& file,
                                     const std::function<void(bool)>& setDownloadButtonVisible,
                                     PipeTransferRecord* transferRecord = nullptr,
                                     const DownloadProgress& progress = {});

// The data-pipe probe: validity check, the bytes of "fpgatop.Bit" in workingDir handed to
// showText (rendered by ProbeFileText), 64 zero bytes written on pipe 0x05 and 64 bytes
// read from pipe 0x85 (not used). Any failure of the check or the transfers: ErrMsg 0.
DataPipeResult ProbeDataPipes(CommandLink& link, const std::filesystem::path& workingDir,
                              const std::function<void(const std::string&)>& showText);

// How the probe shows a file: printable ASCII as it is, line ends as line ends, tabs kept,
// every other byte as <XX> in hexadecimal. `totalSize` is the file's length; when it is
// more than the bytes given, a note says how many were left out.
std::string ProbeFileText(const std::vector<std::uint8_t>& bytes, std::uint64_t totalSize);

} // namespace korva
