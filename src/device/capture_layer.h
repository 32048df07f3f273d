// A USB layer that records every transfer of the layer it wraps to a pcap file.
//
// The file uses link type 220 (LINKTYPE_USB_LINUX_MMAPPED), the format of Linux usbmon,
// so that Wireshark and tshark decode it as USB traffic. Each transfer gives two records:
// a submission ('S') carrying the OUT data and a completion ('C') carrying the IN data
// and the transfer's status. Every record is flushed as it is written, so a program that
// crashes leaves a readable file behind with everything up to the crash.
#pragma once

#include "usb_layer.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace korva {

class CaptureLayer : public UsbLayer {
  public:
    // The link type the file is written with.
    static constexpr int kLinkType = 220;
    // Size of the usbmon header in front of each record's data.
    static constexpr std::uint32_t kHeaderSize = 64;

    // Forwards everything to `inner`, which must outlive this object; nothing is recorded
    // until open(). From here on the notices of `inner` reach this layer's onNotice.
    explicit CaptureLayer(UsbLayer& inner);
    // The same, with the file opened at once.
    CaptureLayer(UsbLayer& inner, const std::string& path);
    // Creates (or truncates) the capture file at `path`; transfers from here on are
    // recorded. Throws std::runtime_error with the text
    // "cannot write capture file <path>: <reason>" when the file cannot be created.
    void open(const std::string& path);
    // Closes the file and hands the notices of `inner` back to whatever handled them here.
    ~CaptureLayer() override;
    CaptureLayer(const CaptureLayer&) = delete;
    CaptureLayer& operator=(const CaptureLayer&) = delete;

    Status init(DriverHandle* driver, const MatchEntry& match, const EventTable& events) override;
    // Forwards the call; the file stays open, so transfers made after a later init are
    // still recorded.
    void uninit(DriverHandle driver) override;
    Status getDeviceInfo(DeviceHandle device, DeviceInfo* info) override;
    Status transferBulk(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                        std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                        std::uint32_t* transferred, std::uint32_t timeoutMs) override;
    Status transfer(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                    std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                    std::uint32_t* transferred, const std::uint8_t setup[8],
                    std::uint32_t timeoutMs) override;
    Status setInterface(DeviceHandle device, std::uint32_t interfaceNumber,
                        std::uint32_t alternateSetting) override;
    std::string stat2Str(Status s) override { return inner_.stat2Str(s); }

    // Closes the file early; transfers still pass through afterwards, unrecorded.
    // Calling it again (or destroying the layer afterwards) does nothing more.
    void close();
    const std::string& path() const { return path_; }

    // The usbmon status of a completion: 0, or the negative errno that matches the status.
    static std::int32_t errnoForStatus(Status s);
    // The device number written for a handle: 1..127, or 0 for "no board".
    static std::uint8_t deviceNumber(DeviceHandle device);

  private:
    // Writes the submission record and returns the URB id that pairs it with its completion.
    std::uint64_t submit(DeviceHandle device, std::uint8_t endpoint, std::uint8_t transferType,
                         const std::uint8_t* setup, const std::uint8_t* buffer, std::uint32_t size);
    // Tells onNotice, once, that writing the file failed.
    void reportWriteFailure();
    void complete(std::uint64_t urbId, DeviceHandle device, std::uint8_t endpoint,
                  std::uint8_t transferType, Status s, const std::uint8_t* buffer,
                  std::uint32_t size, std::uint32_t transferred);
    // False when the file could not be written; the capture then stops (see notice_).
    bool writeRecord(std::uint64_t urbId, char type, std::uint8_t transferType,
                     std::uint8_t endpoint, DeviceHandle device, const std::uint8_t* setup,
                     char dataFlag, std::int32_t status, std::uint32_t urbLength,
                     const std::uint8_t* data, std::uint32_t dataLength);

    UsbLayer& inner_;
    std::string path_;
    std::mutex m_;
    pcap* pcap_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    std::uint64_t nextUrb_ = 1;
    std::vector<std::uint8_t> record_;
    std::string writeFailure_; // set when a write fails, until reported
    std::function<void(const std::string&)> savedNotice_;
};

} // namespace korva
