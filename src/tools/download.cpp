#include "download.h"

#include "device/textnum.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace korva {
namespace {

std::filesystem::path inDir(const std::filesystem::path& dir, const char* name) {
    return dir.empty() ? std::filesystem::path(name) : dir / name;
}

// Opens a file for reading without ever creating it. Fills the result's error (and
// fileMissing) when it cannot.
bool openExisting(const std::filesystem::path& path, std::ifstream& in, std::uint64_t& length,
                  DataPipeResult& result) {
    std::string& error = result.error;
    // The system would take the name only up to a NUL: another file than the one named.
    if (path.native().find('\0') != std::string::npos) {
        error = "The file name \"" + path.string().substr(0, path.native().find('\0')) +
                "\" is followed by a NUL byte, so nothing was sent to the board.";
        return false;
    }
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(st)) {
        result.fileMissing = true;
        error =
            "The file \"" + path.string() + "\" was not found, so nothing was sent to the board.";
        return false;
    }
    if (!std::filesystem::is_regular_file(st)) {
        error = '"' + path.string() + "\" is not a file, so nothing was sent to the board.";
        return false;
    }
    length = std::filesystem::file_size(path, ec);
    if (!ec) in.open(path, std::ios::binary);
    if (ec || !in.is_open()) {
        error = "The file \"" + path.string() +
                "\" cannot be opened for reading, so nothing was sent to the board.";
        return false;
    }
    return true;
}

// The data packets go out in blocks of this many, read from the file a block at a time
// and streamed with many packets in flight (64 KiB: the file is never held whole).
constexpr std::uint64_t kBlockPackets = 1024;

} // namespace

std::uint64_t DataPacketCount(std::uint64_t length) {
    const std::uint64_t whole = length / kDataPacketSize;
    const std::uint64_t rest = length % kDataPacketSize;
    std::uint64_t rounded = whole;
    if (rest * 2 > kDataPacketSize || (rest * 2 == kDataPacketSize && whole % 2 == 1)) ++rounded;
    return rounded + 1;
}

DataPipeResult DownloadBitstream(CommandLink& link, const std::filesystem::path& workingDir,
                                 const std::function<void(bool)>& setDownloadButtonVisible,
                                 PipeTransferRecord* transferRecord,
                                 const DownloadProgress& progress) {
    return DownloadBitstreamFile(link, inDir(workingDir, kBitstreamFileName),
                                 setDownloadButtonVisible, transferRecord, progress);
}

DataPipeResult DownloadBitstreamFile(CommandLink& link, const std::filesystem::path& file,
                                     const std::function<void(bool)>& setDownloadButtonVisible,
                                     PipeTransferRecord* transferRecord,
                                     const DownloadProgress& progress) {
    DataPipeResult result;
    result.outcome = DataPipeResult::Outcome::Reported;
    if (link.halted()) return result; // the program is ending: nothing more goes out
    if (link.CheckDevice() != status::Success) {
        link.ErrMsg(0);
        return result;
    }

    std::ifstream in;
    std::uint64_t length = 0;
    if (!openExisting(file, in, length, result)) {
        result.outcome = DataPipeResult::Outcome::FileProblem;
        return result;
    }

    std::array<std::uint8_t, kDataPacketSize> packet{};
    packet[0] = 0x00;
    Status s = link.Bulk(pipe::DataOut, false, packet.data(), 1);
    if (s != status::Success) {
        link.ErrMsg(ErrorCodeForStatus(s),
                    {"DownloadFPGA (start packet)", s, "sending: " + Stat2Str(link.layer(), s)});
        return result;
    }
    if (setDownloadButtonVisible) setDownloadButtonVisible(false);
    if (transferRecord) transferRecord->pipeNumber = pipe::DataOut;

    const std::uint64_t packets = DataPacketCount(length);
    // Ends the download early: the window gets its button back and carries on.
    const auto end = [&](DataPipeResult::Outcome outcome) {
        if (setDownloadButtonVisible) setDownloadButtonVisible(true);
        result.outcome = outcome;
        return result;
    };
    std::vector<char> block(std::min(packets, kBlockPackets) * kDataPacketSize);
    for (std::uint64_t first = 0; first < packets; first += kBlockPackets) {
        const auto bytes =
            static_cast<std::uint32_t>(std::min(packets - first, kBlockPackets) * kDataPacketSize);
        // The file's bytes in this block as its length was at the start; past them, zeros.
        const std::uint64_t offset = first * kDataPacketSize;
        const auto want = static_cast<std::streamsize>(
            offset < length ? std::min<std::uint64_t>(bytes, length - offset) : 0);
        std::fill_n(block.begin(), bytes, 0);
        if (want > 0 && !in.read(block.data(), want)) {
            // A file cut short or failing under us: what it gave instead of its bytes must
            // not reach the board as if it were the bitstream.
            result.error =
                "The file \"" + file.string() + "\" could not be read at byte " +
                std::to_string(offset + static_cast<std::uint64_t>(in.gcount())) +
                (in.eof() ? " (it has become shorter than the " + std::to_string(length) +
                                " bytes it had when the download started)"
                          : " (a read error)") +
                ", so the download stopped after " + std::to_string(result.dataPackets) + " of " +
                std::to_string(packets) + " data packets.";
            return end(DataPipeResult::Outcome::FileProblem);
        }
        StreamReport report;
        s = link.Stream(pipe::DataOut, reinterpret_cast<const std::uint8_t*>(block.data()), bytes,
                        kDataPacketSize, &report);
        // Packets in flight behind a failed one may have reached the board too: all count.
        result.dataPackets += report.accepted;
        if (s != status::Success) {
            link.ErrMsg(ErrorCodeForStatus(s),
                        {"DownloadFPGA (data packet " +
                             std::to_string(first + report.failedPacket + 1) + " of " +
                             std::to_string(packets) + "; the board took " +
                             std::to_string(result.dataPackets) + " in all)",
                         s, "sending: " + Stat2Str(link.layer(), s)});
            return result;
        }
        if (progress && !progress(result.dataPackets, packets) && result.dataPackets < packets)
            return end(DataPipeResult::Outcome::Stopped);
    }
    return end(DataPipeResult::Outcome::Done);
}

DataPipeResult ProbeDataPipes(CommandLink& link, const std::filesystem::path& workingDir,
                              const std::function<void(const std::string&)>& showText) {
    DataPipeResult result;
    result.outcome = DataPipeResult::Outcome::Reported;
    if (link.halted()) return result;
    if (link.CheckDevice() != status::Success) {
        link.ErrMsg(0);
        return result;
    }

    std::ifstream in;
    std::uint64_t length = 0;
    if (!openExisting(inDir(workingDir, kProbeFileName), in, length, result)) {
        result.outcome = DataPipeResult::Outcome::FileProblem;
        return result;
    }
    std::vector<std::uint8_t> shown(
        static_cast<std::size_t>(std::min<std::uint64_t>(length, kProbeShowLimit)));
    in.read(reinterpret_cast<char*>(shown.data()), static_cast<std::streamsize>(shown.size()));
    shown.resize(static_cast<std::size_t>(in.gcount()));
    in.close();
    if (showText) showText(ProbeFileText(shown, length));

    std::array<std::uint8_t, kDataPacketSize> packet{};
    if (link.Bulk(pipe::DataOut, false, packet.data(), kDataPacketSize) != status::Success) {
        link.ErrMsg(0);
        return result;
    }
    if (link.Bulk(pipe::DataIn, true, packet.data(), kDataPacketSize) != status::Success) {
        link.ErrMsg(0);
        return result;
    }
    result.outcome = DataPipeResult::Outcome::Done;
    result.dataPackets = 1;
    return result;
}

std::string ProbeFileText(const std::vector<std::uint8_t>& bytes, std::uint64_t totalSize) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t c = bytes[i];
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue; // CR LF: one
        if (c == '\n' || c == '\r') {
            out += '\n';
        } else if (c == '\t' || (c >= 0x20 && c < 0x7F)) {
            out += static_cast<char>(c);
        } else {
            out += '<' + HexByte(c) + '>';
        }
    }
    if (totalSize > bytes.size()) {
        out += "\n\n[" + std::to_string(totalSize - bytes.size()) + " more bytes not shown; " +
               std::to_string(totalSize) + " bytes in all]";
    }
    return out;
}

} // namespace korva
