// A virtual KORVA726EVAL board behind the USB layer interface, for trying the program
// without hardware and for tests. It models what the program can observe: the AFE's
// registers, the FPGA's registers, the multiplexer, the sync separator, the ports, the
// EEPROM and the data pipes. Faults can be injected, and tests can have the transfers
// logged (off unless asked for, and bounded, so that a long run keeps no history).
#pragma once

#include "usb_layer.h"

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace korva {

class SimBoard : public UsbLayer {
  public:
    struct Transfer {
        std::uint32_t pipe = 0; // with bit 7 set for IN pipes
        bool in = false;
        std::vector<std::uint8_t> data; // bytes written, or bytes delivered to the host
        Status status = status::Success;
        std::uint32_t timeoutMs = 0;
    };

    static constexpr int kAfeRegisters = 66;
    static constexpr std::uint8_t kAfeBeyondMap = 0xFF; // what addresses above 0x41 read
    // Power-on contents of the AFE registers.
    static const std::array<std::uint8_t, kAfeRegisters> kAfePowerOn;
    // What pipe 0x85 answers.
    static const std::array<std::uint8_t, 64> kProbeReply;
    // How many transfers the log keeps unless told otherwise: the most recent ones.
    static constexpr std::size_t kLogCapacity = 1 << 15;

    SimBoard();

    // UsbLayer
    Status init(DriverHandle* driver, const MatchEntry& match, const EventTable& events) override;
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
    // Packets go to the bus kStreamDepth ahead of their completion, as on a real one; each
    // reaches the board (and the log, and the fault count) as it completes. After a failure
    // the packets in flight complete as cancelled without reaching the board.
    Status streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                      std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                      std::uint32_t timeoutMs, StreamWatcher* watcher) override;

    // Plugging: safe from any thread. Attach and detach notifications go to the table
    // handed to init (when init has run).
    void plug();
    void unplug();
    bool plugged() const;
    bool initialised() const;
    int uninitCount() const;

    // Fault injection, counted in transfers from the moment of the call (1 = the next one).
    void failTransfer(int n, Status s);
    void timeOutTransfer(int n) { failTransfer(n, status::Timeout); }
    void unplugAtTransfer(int n); // the board goes away as that transfer starts
    // That transfer, a read, succeeds with only `bytes` bytes; the rest of the host's
    // buffer is left as it was.
    void shortReplyAtTransfer(int n, std::uint32_t bytes);
    void clearFaults();

    // Inspection (tests and the command-line tool's demo).
    std::vector<Transfer> log() const;
    void clearLog();
    // Logging on keeps the `capacity` most recent transfers; off (the default) keeps none
    // from then on.
    void setLogging(bool on, std::size_t capacity = kLogCapacity);
    // The 64-byte packets written on pipe 0x02, in order.
    std::vector<std::vector<std::uint8_t>> commandPackets() const;
    std::uint8_t afe(int address) const;
    void setAfe(int address, std::uint8_t value);
    std::uint8_t fpga(int address) const;
    void setFpga(int address, std::uint8_t value);
    std::optional<std::uint8_t> muxChannel() const;
    std::optional<std::uint8_t> syncMode() const;
    std::uint8_t port(char name) const; // 'A', 'B' or 'E'
    std::uint8_t eeprom(int address) const;
    void setEeprom(int address, std::uint8_t value);
    int startPackets() const;
    // The bytes streamed on pipe 0x05 (not the start packets) that the log still holds,
    // and the count of all bytes ever streamed there.
    std::vector<std::uint8_t> streamed() const;
    std::uint64_t streamedBytes() const;
    int probeReads() const;

  private:
    struct Fault {
        long long at;
        Status status;
        bool unplug;
        std::optional<std::uint32_t> replyBytes; // a short reply of this many bytes
    };
    void command(const std::uint8_t* packet); // decodes a packet written on pipe 0x02
    Status transferLocked(std::unique_lock<std::mutex>& lock, DeviceHandle device,
                          std::uint32_t pipe, bool in, std::uint8_t* buffer, std::uint32_t size,
                          std::uint32_t* transferred, std::uint32_t timeoutMs);
    void unplugLocked(std::unique_lock<std::mutex>& lock);

    mutable std::mutex m_;
    bool plugged_ = true;
    bool initialised_ = false;
    int uninitCount_ = 0;
    DeviceHandle handle_ = 0;
    DeviceHandle nextHandle_ = 1;
    EventTable events_;
    bool logging_ = false;
    std::size_t logCapacity_ = kLogCapacity;
    long long transfers_ = 0;
    std::vector<Fault> faults_;
    std::deque<Transfer> log_;

    std::array<std::uint8_t, kAfeRegisters> afe_;
    std::array<std::uint8_t, 256> fpga_{};
    std::array<std::uint8_t, 256> eeprom_{};
    std::optional<std::uint8_t> mux_;
    std::optional<std::uint8_t> sync_;
    std::uint8_t portA_ = 0, portB_ = 0, portE_ = 0;
    std::array<std::uint8_t, 64> reply_{};
    int startPackets_ = 0;
    std::uint64_t streamedBytes_ = 0;
    int probeReads_ = 0;
    std::array<PipeInfo, 4> pipes_;
};

} // namespace korva
