// Reads a capture file written by CaptureLayer back with libpcap: each record's usbmon
// header decoded, and its data.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korva::test {

using Bytes = std::vector<std::uint8_t>;

template <typename T> T le(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        v |= std::uint64_t{p[i]} << (8 * i);
    return static_cast<T>(v);
}

// One record of the file, its usbmon header decoded.
struct UsbRecord {
    std::uint64_t id;
    char type, setupFlag, dataFlag;
    std::uint8_t transferType, endpoint, device;
    std::uint16_t bus;
    std::int64_t sec;
    std::int32_t usec, status;
    std::uint32_t urbLength, dataLength;
    Bytes setup, tail, data;
    pcap_pkthdr header;
};

inline std::vector<UsbRecord> readCapture(const std::string& path) {
    std::vector<UsbRecord> records;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    if (!p) {
        ADD_FAILURE() << "libpcap cannot read " << path << ": " << err;
        return records;
    }
    EXPECT_EQ(pcap_datalink(p), 220); // LINKTYPE_USB_LINUX_MMAPPED
    pcap_pkthdr* h = nullptr;
    const u_char* d = nullptr;
    int r = 0;
    while ((r = pcap_next_ex(p, &h, &d)) == 1) {
        if (h->caplen < 64) {
            ADD_FAILURE() << "record shorter than the usbmon header: " << h->caplen;
            break;
        }
        records.push_back({le<std::uint64_t>(d), static_cast<char>(d[8]), static_cast<char>(d[14]),
                           static_cast<char>(d[15]), d[9], d[10], d[11], le<std::uint16_t>(d + 12),
                           le<std::int64_t>(d + 16), le<std::int32_t>(d + 24),
                           le<std::int32_t>(d + 28), le<std::uint32_t>(d + 32),
                           le<std::uint32_t>(d + 36), Bytes(d + 40, d + 48), Bytes(d + 48, d + 64),
                           Bytes(d + 64, d + h->caplen), *h});
    }
    if (r == PCAP_ERROR) ADD_FAILURE() << path << " ends in a cut record: " << pcap_geterr(p);
    pcap_close(p);
    return records;
}

// How many whole records a file being written holds so far, without judging it: the file
// may not exist yet, or may still lack its header or the end of a record.
inline std::size_t recordsSoFar(const std::string& path) {
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    if (!p) return 0;
    std::size_t n = 0;
    pcap_pkthdr* h = nullptr;
    const u_char* d = nullptr;
    while (pcap_next_ex(p, &h, &d) == 1)
        ++n;
    pcap_close(p);
    return n;
}

// The data of every OUT submission, in order, as (endpoint, bytes): what went to the board.
inline std::vector<std::pair<int, Bytes>> sentData(const std::string& path) {
    std::vector<std::pair<int, Bytes>> out;
    for (const UsbRecord& r : readCapture(path))
        if (r.type == 'S' && !(r.endpoint & 0x80)) out.emplace_back(r.endpoint, r.data);
    return out;
}

} // namespace korva::test
