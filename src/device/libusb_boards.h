// The boards present on USB, listed before the libusb layer opens one: what `list` shows
// and how a board is chosen when several are connected.
#pragma once

#include "usb_layer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct libusb_device;
struct libusb_device_handle;

namespace korva {

struct UsbBoard {
    int bus = 0;
    int address = 0;
    std::string port; // "1-2.3": the bus, then the port numbers from the root hub down
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string serial;      // empty when the board has none or it could not be read
    bool accessible = false; // this user may open it
};

struct UsbBoardList {
    std::vector<UsbBoard> boards;
    std::string error; // libusb could not be started or could not list the devices
};

// Every connected device with the match entry's identifiers, by bus and port path. Each is
// opened for a moment, to learn whether this user may open it and to read its serial
// number; none is claimed.
UsbBoardList ListUsbBoards(const MatchEntry& match);

// What a device says of itself: bus, address, port path and identifiers, and with an open
// handle its serial number (accessible is left false; the caller knows).
UsbBoard DescribeUsbDevice(libusb_device* device, libusb_device_handle* handle);

// Whether `id` names the board: its serial number, its port path ("1-2.3"), or its bus
// and device address as "BUS:ADDR" in decimal ("1:5" or "001:005").
bool UsbBoardMatches(const UsbBoard& board, std::string_view id);

// One line for a board: "bus 001 device 005, port 1-2.3, ID 1209:1004, serial ABC" and,
// when this user may not open it, the udev rule that would let it.
std::string DescribeUsbBoard(const UsbBoard& board);

struct UsbBoardChoice {
    enum class Reason {
        Chosen,  // `index` is the board
        NoBoard, // the list is empty
        NoMatch, // no board matches the id
        Several, // several boards and no id, or an id that names several
    };
    std::optional<std::size_t> index; // the chosen board in the list
    Reason reason = Reason::Chosen;
    std::string error; // otherwise why none was chosen, the boards named
};
// The board `id` names, or without an id the only board present.
UsbBoardChoice ChooseUsbBoard(const std::vector<UsbBoard>& boards,
                              const std::optional<std::string>& id, const MatchEntry& match);

} // namespace korva
