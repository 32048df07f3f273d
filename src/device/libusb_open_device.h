// What the libusb layer's files share: an open board as the layer keeps it, and the texts
// of its trace. libusb_layer.cpp holds hot-plug, the boards' lifetime and the synchronous
// transfers; libusb_stream.cpp the asynchronous stream. Not for use outside the layer.
#pragma once

#include "libusb_layer.h"

#include <cstdio>
#include <string>

namespace korva {

struct LibusbLayer::OpenDevice {
    libusb_device* device = nullptr; // referenced
    libusb_device_handle* handle = nullptr;
    UsbBoard board; // where it is, its identifiers and serial number
    int interfaceNumber = 0;
    bool claimed = false;
    // Pipe tables of the interface's alternate settings, by alternate setting number.
    std::map<std::uint32_t, std::shared_ptr<const std::vector<PipeInfo>>> alternates;
    std::atomic<std::uint32_t> alternate{0};

    OpenDevice() = default;
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
    ~OpenDevice() {
        if (claimed) libusb_release_interface(handle, interfaceNumber);
        if (handle) libusb_close(handle);
        if (device) libusb_unref_device(device);
    }
};

namespace libusb_text {

inline std::string errorName(int r) {
    return libusb_error_name(r);
}

inline std::string hex2(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

} // namespace libusb_text
} // namespace korva
