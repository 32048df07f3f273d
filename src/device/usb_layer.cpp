#include "usb_layer.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace korva {
namespace {

struct StatusText {
    Status code;
    const char* name;
    const char* description;
};

constexpr StatusText kTexts[] = {
    {status::Success, "LIBUSB_SUCCESS", "Success"},
    {status::Io, "LIBUSB_ERROR_IO", "Input/Output Error"},
    {status::InvalidParam, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter"},
    {status::Access, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)"},
    {status::NoDevice, "LIBUSB_ERROR_NO_DEVICE", "No such device (it may have been disconnected)"},
    {status::NotFound, "LIBUSB_ERROR_NOT_FOUND", "Entity not found"},
    {status::Busy, "LIBUSB_ERROR_BUSY", "Resource busy"},
    {status::Timeout, "LIBUSB_ERROR_TIMEOUT", "Operation timed out"},
    {status::Overflow, "LIBUSB_ERROR_OVERFLOW", "Overflow"},
    {status::Pipe, "LIBUSB_ERROR_PIPE", "Pipe error"},
    {status::Interrupted, "LIBUSB_ERROR_INTERRUPTED",
     "System call interrupted (perhaps due to signal)"},
    {status::NoMem, "LIBUSB_ERROR_NO_MEM", "Insufficient memory"},
    {status::NotSupported, "LIBUSB_ERROR_NOT_SUPPORTED",
     "Operation not supported or unimplemented on this platform"},
    {status::Other, "LIBUSB_ERROR_OTHER", "Other error"},
};

const StatusText* find(Status s) {
    for (const auto& t : kTexts)
        if (t.code == s) return &t;
    return nullptr;
}

} // namespace

std::string statusName(Status s) {
    const auto* t = find(s);
    return t ? t->name : "status " + std::to_string(static_cast<std::int32_t>(s));
}

std::string statusDescription(Status s) {
    const auto* t = find(s);
    return t ? t->description : "Unknown error";
}

Status UsbLayer::streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                            std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                            std::uint32_t timeoutMs, StreamWatcher* watcher) {
    StreamReport done;
    if (report) *report = done;
    if (packetSize == 0 || (data == nullptr && size > 0)) return status::InvalidParam;
    std::vector<std::uint8_t> packet(packetSize); // transferBulk may write to its buffer
    Status s = status::Success;
    for (std::uint64_t at = 0; at < size && s == status::Success; at += packetSize) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(packetSize, size - at));
        std::memcpy(packet.data(), data + at, n);
        if (watcher) watcher->submitted(done.failedPacket);
        std::uint32_t count = 0;
        s = transferBulk(device, pipe, 0, 0, packet.data(), n, &count, timeoutMs);
        if (s == status::Success && count != n) s = status::Io; // the packet did not arrive whole
        if (watcher) watcher->completed(done.failedPacket, s, count);
        if (s == status::Success) ++done.failedPacket, ++done.accepted;
    }
    if (report) *report = done;
    return s;
}

} // namespace korva
