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

#include <umockdev.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace korva::test {

// One umockdev testbed. Create it before libusb_init (it sets $UMOCKDEV_DIR) and destroy
// it after libusb_exit.
class UmockdevBed {
  public:
    UmockdevBed();
    ~UmockdevBed();
    UmockdevBed(const UmockdevBed&) = delete;
    UmockdevBed& operator=(const UmockdevBed&) = delete;

    UMockdevTestbed* testbed() { return tb_; }
    const std::string& root() const { return root_; }

  private:
    UMockdevTestbed* tb_;
    std::string root_;
};

// A high-speed device on bus 1 with interface 0 and bulk pipes 0x02, 0x82, 0x05, 0x85.
// It answers every 64-byte command on 0x02 with ReplyFor(command) on 0x82.
class EmulatedBoard {
  public:
    struct Packet {
        std::uint8_t endpoint;
        std::vector<std::uint8_t> data;
    };

    EmulatedBoard(UmockdevBed& bed, std::uint16_t vendorId, std::uint16_t productId, int address);
    ~EmulatedBoard();
    EmulatedBoard(const EmulatedBoard&) = delete;
    EmulatedBoard& operator=(const EmulatedBoard&) = delete;

    // Adds the device (udev "add"); again after unplug() for a replug.
    void plug();
    // The device goes away: pending reads end with -ESHUTDOWN, later requests get ENODEV,
    // then udev "remove" and the device leaves the testbed.
    void unplug();
    // The node refuses to open (EACCES) for a process without CAP_DAC_OVERRIDE.
    void denyAccess();
    // The n-th write on pipe 0x05 from now (1 = the next) ends with a stall.
    void failDataOut(int n);

    // What the board's reply to a command is: every byte inverted.
    static std::vector<std::uint8_t> ReplyFor(const std::vector<std::uint8_t>& command);

    std::vector<Packet> received() const;  // data written by the host, in order
    std::vector<Packet> delivered() const; // data read by the host, in order
    int opens() const;                     // times the node was opened
    int claims() const;                    // successful CLAIMINTERFACE requests
    int pendingReads() const;              // IN URBs waiting for data
    int discards() const;                  // DISCARDURB requests
    int mostDataOutInFlight() const;       // writes on 0x05 submitted and not yet reaped
    bool fifoWritable() const;             // whether libusb's poll would wake now
    std::string devnode() const { return devnode_; }

  private:
    struct Urb {
        UMockdevIoctlData* urb = nullptr;    // referenced until reaped
        UMockdevIoctlData* buffer = nullptr; // referenced until reaped
    };
    struct Client {
        int generation = 0; // the plug-in the client opened
        std::deque<Urb> pendingIn;
        std::deque<Urb> reapable;
    };

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    static void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    void handle(UMockdevIoctlClient* client);
    void submit(Client& c, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void finish(Client& c, Urb urb, int status, const std::vector<std::uint8_t>* data);
    void updateFifo();
    static void release(Urb& urb);

    UmockdevBed& bed_;
    std::uint16_t vendorId_;
    std::uint16_t productId_;
    int address_;
    std::string devnode_;
    std::string syspath_;
    int fifo_ = -1;
    bool fifoFull_ = false;
    UMockdevIoctlBase* handler_ = nullptr;

    mutable std::mutex m_;
    bool plugged_ = false;
    int generation_ = 0;
    std::map<UMockdevIoctlClient*, Client> clients_;
    std::deque<std::vector<std::uint8_t>> replies_; // answers not yet read
    std::vector<Packet> received_;
    std::vector<Packet> delivered_;
    int opens_ = 0;
    int claims_ = 0;
    int discards_ = 0;
    int failDataOutAt_ = 0;
    int dataOutInFlight_ = 0, mostDataOutInFlight_ = 0;
};

} // namespace korva::test
