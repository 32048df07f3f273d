// The real board's USB layer on libusb-1.0.
//
// init() opens a private libusb context, registers a hot-plug callback for the match
// entry's vendor and product identifiers and starts one event thread. The hot-plug
// callback only queues the event (with a device reference); the event thread opens and
// claims an arriving board after libusb's event handling returns, gives it a new
// non-zero DeviceHandle and calls the attach routine; a leaving board is detached and
// dropped. Boards already present when init() runs are opened before init() returns.
//
// Open boards live in a map of shared pointers: a transfer copies its board's pointer
// and runs without holding the lock, so a board is never closed while a transfer on
// it runs (libusb_close happens when the last reference goes).
//
// streamBulk keeps kStreamDepth packets in flight with libusb's asynchronous transfers: each
// completion submits the next packet, on whichever thread handles libusb's events (the
// event thread, or the calling thread, which waits by handling events until none of its
// transfers is left). When events cannot be handled the stream ends within its time-out;
// transfers still in flight then are kept until they end or the layer closes.
#pragma once

#include "libusb_boards.h"
#include "usb_layer.h"

#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace korva {

class LibusbLayer : public UsbLayer {
  public:
    LibusbLayer();
    ~LibusbLayer() override;
    LibusbLayer(const LibusbLayer&) = delete;
    LibusbLayer& operator=(const LibusbLayer&) = delete;

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
    Status streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                      std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                      std::uint32_t timeoutMs, StreamWatcher* watcher) override;
    // libusb's name and description of the error, "LIBUSB_ERROR_TIMEOUT: Operation timed out".
    std::string stat2Str(Status s) override;

    // Before init: of the matching boards, claim only those the filter accepts. It is asked
    // on the event thread for each arriving board, once the board is open (so that its
    // serial number can be read) and before its interface is claimed; a board that cannot
    // be opened is asked with `accessible` false and no serial number, and is only
    // reported as such when the filter accepts it.
    void setBoardFilter(std::function<bool(const UsbBoard&)> filter) {
        filter_ = std::move(filter);
    }
    // The board attached as `device`: where it is and its serial number.
    std::optional<UsbBoard> identify(DeviceHandle device);

    // The message given (once per run) when a matching board cannot be opened for lack
    // of permission.
    static std::string permissionNotice(const MatchEntry& match);
    // A board of ours refused this user (its permission notice was given).
    bool accessDenied() const { return permissionNoticeGiven_.load(); }

  private:
    struct OpenDevice;
    struct Stream;
    struct HotplugEvent {
        libusb_device* device; // referenced
        bool arrived;
    };

    static int LIBUSB_CALL hotplugCallback(libusb_context* ctx, libusb_device* device,
                                           libusb_hotplug_event event, void* self);
    void eventLoop();
    void processQueued();
    void arrived(libusb_device* device);
    void left(libusb_device* device);
    std::shared_ptr<OpenDevice> find(DeviceHandle device);
    void dropQueued();
    void closeAll();
    // Frees the streams given up on whose transfers have ended (all of them with `all`,
    // once no event is handled any more).
    void dropEndedStreams(bool all);

    libusb_context* ctx_ = nullptr;
    libusb_hotplug_callback_handle hotplugHandle_ = 0;
    bool hotplugRegistered_ = false;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    DriverHandle driver_ = 0;
    MatchEntry match_;
    EventTable events_;

    std::mutex queueMutex_;
    std::vector<HotplugEvent> queue_;

    std::mutex devicesMutex_;
    std::map<DeviceHandle, std::shared_ptr<OpenDevice>> devices_;
    DeviceHandle nextHandle_ = 1;
    // Every pipe table handed out by getDeviceInfo stays valid until uninit, even when its
    // board leaves in the meantime: callers copy the table after the call returns.
    std::vector<std::shared_ptr<const std::vector<PipeInfo>>> pipeTables_;

    // Failed rounds of event handling on the event thread, and the last one's error: a
    // stream waiting for its transfers learns from them that events are lost.
    std::atomic<unsigned> eventFailures_{0};
    std::atomic<int> lastEventError_{0};
    std::mutex streamsMutex_;
    std::vector<std::shared_ptr<Stream>> givenUp_;

    std::atomic<bool> permissionNoticeGiven_{false};
    std::function<bool(const UsbBoard&)> filter_; // empty: every matching board
};

} // namespace korva
