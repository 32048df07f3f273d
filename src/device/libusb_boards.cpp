#include "libusb_boards.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace korva {
namespace {

constexpr const char* kRule = "60-korva726eval.rules";

std::string portPath(libusb_device* device) {
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, sizeof ports);
    std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
    if (n <= 0) return path + "0";
    for (int i = 0; i < n; ++i)
        path += (i ? "." : "") + std::to_string(ports[i]);
    return path;
}

// A decimal number making up the whole of `text`.
std::optional<int> decimal(std::string_view text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string listed(const std::vector<UsbBoard>& boards) {
    std::string text;
    for (const UsbBoard& b : boards)
        text += (text.empty() ? "" : "; ") + DescribeUsbBoard(b);
    return text;
}

} // namespace

UsbBoardList ListUsbBoards(const MatchEntry& match) {
    UsbBoardList result;
    libusb_context* ctx = nullptr;
    int r = libusb_init(&ctx);
    if (r != LIBUSB_SUCCESS) {
        result.error =
            std::string("USB cannot be used: libusb_init failed: ") + libusb_error_name(r);
        return result;
    }
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) {
        result.error =
            std::string("libusb_get_device_list failed: ") + libusb_error_name(static_cast<int>(n));
        libusb_exit(ctx);
        return result;
    }
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(device, &d) != LIBUSB_SUCCESS) continue;
        if (d.idVendor != match.vendorId || d.idProduct != match.productId) continue;
        libusb_device_handle* handle = nullptr;
        const bool accessible = libusb_open(device, &handle) == LIBUSB_SUCCESS;
        UsbBoard board = DescribeUsbDevice(device, accessible ? handle : nullptr);
        board.accessible = accessible;
        if (handle) libusb_close(handle);
        result.boards.push_back(std::move(board));
    }
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    // In the order of the ports, whatever order libusb found them in.
    std::sort(result.boards.begin(), result.boards.end(), [](const UsbBoard& a, const UsbBoard& b) {
        return std::tie(a.bus, a.port, a.address) < std::tie(b.bus, b.port, b.address);
    });
    return result;
}

UsbBoard DescribeUsbDevice(libusb_device* device, libusb_device_handle* handle) {
    UsbBoard board;
    board.bus = libusb_get_bus_number(device);
    board.address = libusb_get_device_address(device);
    board.port = portPath(device);
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(device, &d) != LIBUSB_SUCCESS) return board;
    board.vendorId = d.idVendor;
    board.productId = d.idProduct;
    if (handle && d.iSerialNumber != 0) {
        unsigned char serial[128];
        const int len =
            libusb_get_string_descriptor_ascii(handle, d.iSerialNumber, serial, sizeof serial);
        // A serial number is shown in titles and lists: control bytes are no part of it.
        for (int i = 0; i < len; ++i)
            board.serial += serial[i] < 0x20 || serial[i] == 0x7F ? '?' : char(serial[i]);
    }
    return board;
}

bool UsbBoardMatches(const UsbBoard& board, std::string_view id) {
    if (id.empty()) return false;
    if (id == board.serial || id == board.port) return true;
    const std::size_t colon = id.find(':');
    if (colon == std::string_view::npos) return false;
    const auto bus = decimal(id.substr(0, colon));
    const auto address = decimal(id.substr(colon + 1));
    return bus && address && *bus == board.bus && *address == board.address;
}

std::string DescribeUsbBoard(const UsbBoard& board) {
    char text[96];
    std::snprintf(text, sizeof text, "bus %03d device %03d, port %s, ID %04x:%04x", board.bus,
                  board.address, board.port.c_str(), board.vendorId, board.productId);
    std::string line = text;
    if (!board.serial.empty()) line += ", serial " + board.serial;
    if (!board.accessible)
        line += std::string(", not accessible to this user (install the udev rule ") + kRule +
                " and replug the board)";
    return line;
}

UsbBoardChoice ChooseUsbBoard(const std::vector<UsbBoard>& boards,
                              const std::optional<std::string>& id, const MatchEntry& match) {
    UsbBoardChoice choice;
    std::vector<std::size_t> matching;
    for (std::size_t i = 0; i < boards.size(); ++i)
        if (!id || UsbBoardMatches(boards[i], *id)) matching.push_back(i);
    if (matching.size() == 1) {
        choice.index = matching.front();
        return choice;
    }
    if (boards.empty()) {
        choice.reason = UsbBoardChoice::Reason::NoBoard;
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", match.vendorId, match.productId);
        choice.error = std::string("no KORVA726EVAL board (USB ") + ids + ") is connected";
    } else if (matching.empty()) {
        choice.reason = UsbBoardChoice::Reason::NoMatch;
        choice.error =
            "no connected board matches --device " + *id + " (connected: " + listed(boards) + ")";
    } else {
        choice.reason = UsbBoardChoice::Reason::Several;
        std::vector<UsbBoard> named;
        for (std::size_t i : matching)
            named.push_back(boards[i]);
        choice.error = std::to_string(matching.size()) + " boards are connected" +
                       (id ? " that match --device " + *id : std::string()) +
                       "; choose one with --device SERIAL, PORT or BUS:ADDR: " + listed(named);
    }
    return choice;
}

} // namespace korva
