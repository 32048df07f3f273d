// The abstract USB layer the board is reached through.
//
// Two implementations exist: LibusbLayer (the real board, libusb-1.0) and SimBoard
// (a built-in virtual board). A third, CaptureLayer, wraps either and records every
// transfer to a pcap file. The rest of the program only sees this interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace korva {

// Result of a USB call: 0 is success. Failures carry a libusb error code
// (a negative int) stored as its 32-bit two's complement.
using Status = std::uint32_t;
// Identifies an open board inside a layer; 0 means "no board".
using DeviceHandle = std::uint32_t;
// Identifies an opened layer connection; 0 until the connection is open.
using DriverHandle = std::uint32_t;

namespace status {
constexpr Status Success = 0;
// The values follow libusb's error codes so that both layers speak the same language.
constexpr Status Io = static_cast<Status>(-1);
constexpr Status InvalidParam = static_cast<Status>(-2);
constexpr Status Access = static_cast<Status>(-3);
constexpr Status NoDevice = static_cast<Status>(-4);
constexpr Status NotFound = static_cast<Status>(-5);
constexpr Status Busy = static_cast<Status>(-6);
constexpr Status Timeout = static_cast<Status>(-7);
constexpr Status Overflow = static_cast<Status>(-8);
constexpr Status Pipe = static_cast<Status>(-9);
constexpr Status Interrupted = static_cast<Status>(-10);
constexpr Status NoMem = static_cast<Status>(-11);
constexpr Status NotSupported = static_cast<Status>(-12);
constexpr Status Other = static_cast<Status>(-99);
} // namespace status

// Names and descriptions for the status codes above ("LIBUSB_ERROR_TIMEOUT", ...).
std::string statusName(Status s);
std::string statusDescription(Status s);

// Pipes and constants of the board's protocol.
namespace pipe {
constexpr std::uint32_t CommandOut = 0x02;
constexpr std::uint32_t CommandIn = 0x82;
constexpr std::uint32_t DataOut = 0x05;
constexpr std::uint32_t DataIn = 0x85;
} // namespace pipe
constexpr std::uint32_t kPacketSize = 64;
constexpr std::uint32_t kTransferTimeoutMs = 30000;
constexpr std::uint32_t kReadFlag = 0xFFFFFFFFu;
// Packets a layer keeps in flight at once in UsbLayer::streamBulk.
constexpr std::uint32_t kStreamDepth = 32;

// Default USB identifiers of the board; Config.ini [USB] VendorID/ProductID override them.
// Vendor identifier the board enumerates with (the pid.codes open-hardware vendor);
// a board with another one is matched by setting [USB] VendorID in Config.ini.
constexpr std::uint16_t kDefaultVendorId = 0x1209;
constexpr std::uint16_t kProductId = 0x1004;

struct MatchEntry {
    std::uint16_t vendorId = kDefaultVendorId;
    std::uint16_t productId = kProductId;
};

// The shared record between the attach/detach notifications and the exchanges.
// The handle is written by the layer's event thread and read by the UI thread.
struct DeviceContext {
    std::atomic<std::uint32_t> interfaceNumber{0};
    std::atomic<std::uint32_t> alternateSetting{0};
    std::atomic<DeviceHandle> handle{0};
    std::atomic<Status> lastInterfaceStatus{0};
};

// One pipe of an alternate setting, as the layer describes it.
struct PipeInfo {
    std::uint32_t number = 0;
    std::uint32_t maxPacketSize = 0;
    std::uint32_t type = 0;      // 2 = bulk
    std::uint32_t direction = 0; // 1 = in, 2 = out
    std::uint32_t interval = 0;
};

struct AlternateSettingInfo {
    std::uint8_t numEndpoints = 0;
    const PipeInfo* pipes = nullptr;
};

// What the validity check hands back.
struct DeviceInfo {
    std::uint32_t activeInterface = 0;
    AlternateSettingInfo activeAlternate;
};

// How a streamed transfer went (see UsbLayer::streamBulk).
struct StreamReport {
    // The first packet that failed (0 = the first packet), or the count of packets when
    // none did. A packet whose completion never came because events could not be handled
    // counts as failed.
    std::uint32_t failedPacket = 0;
    // The packets the board accepted in all: those before the failed one and those already
    // on the bus behind it that completed whole.
    std::uint32_t accepted = 0;
};

// Told, packet by packet, how a streamed transfer goes (see UsbLayer::streamBulk). The
// calls may come from the layer's own thread, but never two at once.
class StreamWatcher {
  public:
    virtual ~StreamWatcher() = default;
    // Packet `index` (0 = the first) is handed to the bus.
    virtual void submitted(std::uint32_t index) = 0;
    // Packet `index` is done: sent whole (`s` is 0), failed (a packet that completes short
    // fails with status::Io), or cancelled after an earlier one failed
    // (status::Interrupted).
    virtual void completed(std::uint32_t index, Status s, std::uint32_t transferred) = 0;
};

// Called by the layer when a matching board arrives (return true to accept) or leaves.
struct EventTable {
    std::function<bool(DeviceHandle, void* userData)> attach;
    std::function<void(DeviceHandle, void* userData)> detach;
    void* userData = nullptr;
};

class UsbLayer {
  public:
    virtual ~UsbLayer() = default;

    // Opens the connection: stores a non-zero driver handle and calls events.attach
    // for every matching board present now or arriving later.
    virtual Status init(DriverHandle* driver, const MatchEntry& match,
                        const EventTable& events) = 0;
    // Closes the connection opened by init.
    virtual void uninit(DriverHandle driver) = 0;

    // The validity check: fails for a zero or stale handle.
    virtual Status getDeviceInfo(DeviceHandle device, DeviceInfo* info) = 0;
    // A bulk transfer. readFlag 0 writes, anything else reads.
    virtual Status transferBulk(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                                std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                                std::uint32_t* transferred, std::uint32_t timeoutMs) = 0;
    // A transfer on any pipe, with a setup packet for control transfers (ignored on bulk pipes).
    virtual Status transfer(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                            std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                            std::uint32_t* transferred, const std::uint8_t setup[8],
                            std::uint32_t timeoutMs) = 0;
    virtual Status setInterface(DeviceHandle device, std::uint32_t interfaceNumber,
                                std::uint32_t alternateSetting) = 0;
    // Writes `size` bytes on a bulk OUT pipe as consecutive transfers of `packetSize` bytes
    // (the last one shorter when size is no multiple of it), in order, each with its own
    // time-out: the board sees the packets it would see from a loop of transferBulk calls.
    // A layer may keep many packets in flight at once. The first packet that fails (also
    // one that completes short) stops the stream: nothing after it is submitted, what is
    // still in flight is cancelled, and its status is returned once nothing runs any more,
    // or at the latest `timeoutMs` after the layer found that it cannot handle events.
    // `report` (may be null) gets the first packet that failed and how many packets the
    // board accepted in all. `watcher` (may be null) hears of each packet. The default
    // sends one packet at a time through transferBulk.
    virtual Status streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                              std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                              std::uint32_t timeoutMs, StreamWatcher* watcher);
    // Writes out whatever the layer holds back (the records of a capture file). A program
    // calls it before it ends without running destructors; nothing by default.
    virtual void flush() {}
    // The layer's text for a status.
    virtual std::string stat2Str(Status s) { return statusName(s) + ": " + statusDescription(s); }

    // A plain-words notice for the user (for example: the board is present but cannot be
    // opened for lack of permission). May be called from the layer's own thread.
    std::function<void(const std::string&)> onNotice;
};

} // namespace korva
