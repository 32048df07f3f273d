// An emulated KORVA726EVAL board for end-to-end tests of the libusb layer.
//
// umockdev fakes sysfs, udev and the /dev node; this code answers the usbfs ioctls that
// libusb issues on that node (claim, submit, reap, discard, ...) in process, so the
// unchanged libusb Linux code path runs against it. The test program must be linked with
// umockdev's preload library.
//
// The /dev node is a FIFO rather than the regular file umockdev would create: libusb polls
// the node for POLLOUT to learn that a URB can be reaped, and a regular file is always
// ready, which makes libusb's event handling spin. The FIFO is kept full (not writable)
// while nothing can be reaped and drained while something can, so the poll sleeps.
#pragma once

#include "device/usb_layer.h"

#include <umockdev.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korva::test {

// One umockdev testbed. Create it before libusb_init (it sets $UMOCKDEV_DIR) and destroy
// it after libusb_exit.
struct UmockdevBed {
    std::unique_ptr<UMockdevTestbed, decltype(&g_object_unref)> testbed{umockdev_testbed_new(),
                                                                        g_object_unref};
    std::string root;
    UmockdevBed();
};

// A high-speed device on bus 1 with interface 0 and bulk pipes 0x02, 0x82, 0x05, 0x85, at
// port 1-(address - 1). It answers every command on 0x02 with ReplyFor(command) on 0x82;
// other IN pipes stall. With a serial number it answers the requests for its string
// descriptors on the control pipe; every other control request stalls.
class EmulatedBoard {
  public:
    using Packet = std::pair<int, std::vector<std::uint8_t>>; // endpoint, data

    EmulatedBoard(UmockdevBed& bed, std::uint16_t vendorId, std::uint16_t productId, int address,
                  std::string serial = {});
    ~EmulatedBoard(); // not copied: it holds a mutex

    // Adds the device (udev "add"), unless it is in; again after unplug() for a replug.
    void plug();
    // The device goes away: pending reads end with -ESHUTDOWN, later requests get ENODEV,
    // then udev "remove" and the device leaves the testbed.
    void unplug();
    // What the board's reply to a command is: every byte inverted.
    static std::vector<std::uint8_t> ReplyFor(std::vector<std::uint8_t> command);

    std::vector<Packet> received() const; // data written by the host, in order
    int pendingReads() const;             // IN URBs waiting for data
    std::string devnode;
    std::atomic<int> opens{0}, claims{0}, discards{0}; // clients, CLAIMINTERFACEs, DISCARDURBs
    std::atomic<int> mostDataOutInFlight{0}; // writes on 0x05 submitted and not yet reaped
    std::atomic<int> failDataOutAt{0};       // the n-th write on 0x05 from now (1 = next) stalls
    std::atomic<int> shortDataOutAt{0};      // the n-th write on 0x05 takes half its bytes
    std::atomic<int> reapsBeforeFailure{-1}; // writes on 0x05 reaped before reaping fails (EIO)
    std::atomic<bool> fifoFull{false};       // libusb's poll sleeps

  private:
    using Ref = std::shared_ptr<UMockdevIoctlData>; // a reference, dropped with the last copy
    struct Urb {
        Ref urb, buffer; // the URB and its data, held until reaped
    };
    struct Client {
        int generation = 0; // the plug-in the client opened
        std::deque<Urb> pendingIn, reapable;
    };

    void handle(UMockdevIoctlClient* client);
    void submit(Client& c, UMockdevIoctlData* arg);
    void control(Client& c, Urb urb);
    int discard(Client& c, UMockdevIoctlData* arg);
    void finish(Client& c, Urb urb, int status, const std::vector<std::uint8_t>* data = nullptr,
                bool half = false);
    void updateFifo();

    UmockdevBed& bed_;
    std::string syspath_, record_; // the device in sysfs, its udev record
    std::string serial_;
    int fifo_ = -1;
    UMockdevIoctlBase* handler_ = umockdev_ioctl_base_new();

    mutable std::mutex m_;
    bool plugged_ = false;
    int generation_ = 0, dataOutInFlight_ = 0;
    std::map<UMockdevIoctlClient*, Client> clients_;
    std::deque<std::vector<std::uint8_t>> replies_; // answers not yet read
    std::vector<Packet> received_;
};

// Two boards of ours on one testbed, not yet plugged in: A at port 1-1 (bus 1, address 2,
// serial K726-A) and B at port 1-2 (address 3, serial K726-B). Whatever uses them goes
// before them.
struct TwoBoards {
    UmockdevBed bed;
    EmulatedBoard a{bed, kDefaultVendorId, kProductId, 2, "K726-A"};
    EmulatedBoard b{bed, kDefaultVendorId, kProductId, 3, "K726-B"};
};

// Polls `condition` until it holds or five seconds have passed: hot-plug events reach
// libusb's event thread a little after the testbed plugs or unplugs a board.
inline bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return condition();
}

} // namespace korva::test
