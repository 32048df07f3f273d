// SIGINT and SIGTERM in korva726ctl. The handler only notes the signal and wakes a wait for
// input; the command in progress then stops at its next exchange (a download between two
// blocks of packets), so that the board never sees half an exchange, and the program ends
// on its own path: USB closed and the capture file written out whole. The exit status is
// 128 plus the signal's number (130, 143), as shells expect.
#pragma once

#include "device/usb_layer.h"

#include <stdexcept>
#include <string>

namespace korva::cli {

// Installs the handlers, without SA_RESTART: a read blocked on a script's input returns.
void InstallStopSignals();
// The first stop signal that arrived, or 0.
int StopSignal();
// Becomes readable when a stop signal arrives, for poll() beside a descriptor being waited
// on (a signal that lands between a check and the wait would otherwise go unnoticed).
int StopWakeFd();

// A stop signal arrived: the command ends where it was. `where` names the place (a line of
// a script, the packets of a download) for the closing message.
struct Stopped : std::runtime_error {
    explicit Stopped(const std::string& where = "") : std::runtime_error(where) {}
};
// Throws Stopped once a stop signal has arrived.
void ThrowIfStopped();
// "stopped by SIGINT" and the place, for the one closing line.
std::string StoppedText(const Stopped& stopped);

// Forwards everything to the layer below, but once a stop signal has arrived, throws
// Stopped instead of writing a packet that would begin an exchange (or a packet on the
// data pipe). The read that completes an exchange under way always goes, so the board and
// the capture see whole exchanges only. Streamed downloads stop through their progress
// callback.
class StoppableLayer : public UsbLayer {
  public:
    explicit StoppableLayer(UsbLayer& inner) : inner_(inner) {}

    Status init(DriverHandle* driver, const MatchEntry& match, const EventTable& events) override {
        return inner_.init(driver, match, events);
    }
    void uninit(DriverHandle driver) override { inner_.uninit(driver); }
    Status getDeviceInfo(DeviceHandle device, DeviceInfo* info) override {
        return inner_.getDeviceInfo(device, info);
    }
    Status transferBulk(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                        std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                        std::uint32_t* transferred, std::uint32_t timeoutMs) override;
    Status transfer(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                    std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                    std::uint32_t* transferred, const std::uint8_t setup[8],
                    std::uint32_t timeoutMs) override;
    Status setInterface(DeviceHandle device, std::uint32_t interfaceNumber,
                        std::uint32_t alternateSetting) override {
        return inner_.setInterface(device, interfaceNumber, alternateSetting);
    }
    Status streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                      std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                      std::uint32_t timeoutMs, StreamWatcher* watcher) override {
        return inner_.streamBulk(device, pipe, data, size, packetSize, report, timeoutMs,
                                 watcher);
    }
    void flush() override { inner_.flush(); }
    std::string stat2Str(Status s) override { return inner_.stat2Str(s); }

  private:
    UsbLayer& inner_;
};

} // namespace korva::cli
