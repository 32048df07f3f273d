#include "libusb_layer.h"

#include "exchange.h"
#include "libusb_open_device.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <utility>

namespace korva {

using libusb_text::errorName;
using libusb_text::hex2;

namespace {

// How long one round of libusb event handling may wait; uninit interrupts it at once.
constexpr long kEventWaitUs = 200000;

std::atomic<DriverHandle> nextDriverHandle{1};

std::string hex4(std::uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

std::string where(libusb_device* device) {
    return "bus " + std::to_string(libusb_get_bus_number(device)) + " device " +
           std::to_string(libusb_get_device_address(device));
}

} // namespace

LibusbLayer::LibusbLayer() = default;

LibusbLayer::~LibusbLayer() {
    // The program calls uninit; this only makes sure nothing outlives the layer. The
    // attach and detach routines may refer to objects already gone, so they are not told.
    events_ = {};
    if (ctx_) uninit(driver_);
}

std::string LibusbLayer::permissionNotice(const MatchEntry& match) {
    std::string text = "The KORVA726EVAL board (USB " + hex4(match.vendorId) + ":" +
                       hex4(match.productId) +
                       ") is connected but this user may not open it (permission denied). "
                       "Install the udev rule 60-korva726eval.rules (installed to "
                       "/usr/lib/udev/rules.d, shipped in the packaging folder of the "
                       "sources): sudo cp 60-korva726eval.rules /etc/udev/rules.d/ && sudo "
                       "udevadm control --reload-rules, then unplug and replug the board.";
    if (match.vendorId != kDefaultVendorId || match.productId != kProductId)
        text += " The rule matches " + hex4(kDefaultVendorId) + ":" + hex4(kProductId) +
                "; change its idVendor and idProduct to " + hex4(match.vendorId) + " and " +
                hex4(match.productId) + " first.";
    return text;
}

Status LibusbLayer::init(DriverHandle* driver, const MatchEntry& match, const EventTable& events) {
    if (ctx_) { // already open: keep the connection and its notifications
        if (driver) *driver = driver_;
        return status::Success;
    }
    libusb_context* ctx = nullptr;
    int r = libusb_init(&ctx);
    if (r != LIBUSB_SUCCESS) {
        TraceMsg("LibusbLayer::init: libusb_init failed: " + errorName(r));
        return static_cast<Status>(r);
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        TraceMsg("LibusbLayer::init: this libusb has no hot-plug support");
        libusb_exit(ctx);
        return status::NotSupported;
    }
    ctx_ = ctx;
    match_ = match;
    events_ = events;
    stop_ = false;

    // With ENUMERATE the callback runs here for every matching board already present.
    r = libusb_hotplug_register_callback(
        ctx_,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, match.vendorId, match.productId, LIBUSB_HOTPLUG_MATCH_ANY,
        &LibusbLayer::hotplugCallback, this, &hotplugHandle_);
    if (r != LIBUSB_SUCCESS) {
        TraceMsg("LibusbLayer::init: libusb_hotplug_register_callback failed: " + errorName(r));
        dropQueued();
        libusb_exit(ctx_);
        ctx_ = nullptr;
        events_ = {};
        return static_cast<Status>(r);
    }
    hotplugRegistered_ = true;

    // Boards present now are attached before init returns; later ones by the event thread.
    processQueued();
    thread_ = std::thread([this] { eventLoop(); });

    driver_ = nextDriverHandle.fetch_add(1);
    if (driver_ == 0) driver_ = nextDriverHandle.fetch_add(1);
    if (driver) *driver = driver_;
    return status::Success;
}

void LibusbLayer::uninit(DriverHandle driver) {
    if (!ctx_) return;
    if (driver != driver_)
        TraceMsg("LibusbLayer::uninit: driver handle " + std::to_string(driver) +
                 " is not the open one (" + std::to_string(driver_) + "); closing anyway");
    stop_ = true;
    libusb_interrupt_event_handler(ctx_);
    if (thread_.joinable()) thread_.join();
    if (hotplugRegistered_) {
        libusb_hotplug_deregister_callback(ctx_, hotplugHandle_);
        hotplugRegistered_ = false;
    }
    dropQueued(); // events that came after the thread's last round
    closeAll();
    dropEndedStreams(true); // closes the boards they kept open, then frees their transfers
    libusb_exit(ctx_);
    ctx_ = nullptr;
    driver_ = 0;
    events_ = {};
}

void LibusbLayer::dropQueued() {
    std::vector<HotplugEvent> queued;
    {
        std::lock_guard lock(queueMutex_);
        queued.swap(queue_);
    }
    for (auto& e : queued)
        libusb_unref_device(e.device);
}

void LibusbLayer::closeAll() {
    std::map<DeviceHandle, std::shared_ptr<OpenDevice>> open;
    {
        std::lock_guard lock(devicesMutex_);
        open.swap(devices_);
        pipeTables_.clear();
    }
    for (auto& [id, device] : open)
        if (events_.detach) events_.detach(id, events_.userData);
    open.clear(); // closes each board (no transfer runs: the caller is the only other user)
}

int LIBUSB_CALL LibusbLayer::hotplugCallback(libusb_context*, libusb_device* device,
                                             libusb_hotplug_event event, void* self) {
    // Runs inside libusb's event handling, on whichever thread handles events: only queue.
    auto* layer = static_cast<LibusbLayer*>(self);
    const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    std::lock_guard lock(layer->queueMutex_);
    layer->queue_.push_back({libusb_ref_device(device), arrived});
    return 0; // stay registered
}

void LibusbLayer::eventLoop() {
    while (!stop_.load()) {
        timeval tv{0, kEventWaitUs};
        const int r = libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
        if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_INTERRUPTED && !stop_.load()) {
            lastEventError_ = r;
            ++eventFailures_;
            TraceMsg("LibusbLayer: libusb_handle_events_timeout_completed failed: " + errorName(r));
            std::this_thread::sleep_for(std::chrono::milliseconds(100)); // do not spin on it
        }
        processQueued();
    }
}

void LibusbLayer::processQueued() {
    std::vector<HotplugEvent> queued;
    {
        std::lock_guard lock(queueMutex_);
        queued.swap(queue_);
    }
    for (auto& e : queued) {
        if (!stop_.load()) {
            if (e.arrived)
                arrived(e.device);
            else
                left(e.device);
        }
        libusb_unref_device(e.device);
    }
}

void LibusbLayer::arrived(libusb_device* device) {
    {
        // A board present at registration may be reported twice (enumeration and arrival).
        std::lock_guard lock(devicesMutex_);
        for (const auto& [id, open] : devices_)
            if (open->device == device) return;
    }
    auto open = std::make_shared<OpenDevice>();
    int r = libusb_open(device, &open->handle);
    if (r != LIBUSB_SUCCESS) {
        open->handle = nullptr;
        TraceMsg("LibusbLayer: libusb_open (" + where(device) + ") failed: " + errorName(r));
        UsbBoard board = DescribeUsbDevice(device, nullptr);
        if (filter_ && !filter_(board)) return; // not a board of ours: nothing to say
        if (r == LIBUSB_ERROR_ACCESS && !permissionNoticeGiven_.exchange(true) && onNotice)
            onNotice(permissionNotice(match_));
        return;
    }
    open->board = DescribeUsbDevice(device, open->handle);
    open->board.accessible = true;
    if (filter_ && !filter_(open->board)) {
        TraceMsg("LibusbLayer: " + where(device) + " is not the board chosen; left alone");
        return; // closed unclaimed when `open` goes
    }
    open->device = libusb_ref_device(device);
    r = libusb_claim_interface(open->handle, open->interfaceNumber);
    if (r != LIBUSB_SUCCESS) {
        TraceMsg("LibusbLayer: libusb_claim_interface 0 (" + where(device) +
                 ") failed: " + errorName(r));
        return;
    }
    open->claimed = true;

    libusb_config_descriptor* config = nullptr;
    r = libusb_get_active_config_descriptor(device, &config);
    if (r != LIBUSB_SUCCESS) {
        TraceMsg("LibusbLayer: libusb_get_active_config_descriptor (" + where(device) +
                 ") failed: " + errorName(r) + "; the board shows no pipes");
    } else {
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& iface = config->interface[i];
            for (int a = 0; a < iface.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = iface.altsetting[a];
                if (alt.bInterfaceNumber != open->interfaceNumber) continue;
                auto pipes = std::make_shared<std::vector<PipeInfo>>();
                for (int e = 0; e < alt.bNumEndpoints; ++e) {
                    const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                    PipeInfo p;
                    p.number = ep.bEndpointAddress;
                    p.maxPacketSize = ep.wMaxPacketSize & 0x7FFu;
                    p.type = ep.bmAttributes & 0x03u;
                    p.direction = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) ? 1 : 2;
                    p.interval = ep.bInterval;
                    pipes->push_back(p);
                }
                open->alternates[alt.bAlternateSetting] = std::move(pipes);
            }
        }
        libusb_free_config_descriptor(config);
    }

    DeviceHandle id = 0;
    {
        std::lock_guard lock(devicesMutex_);
        id = nextHandle_++;
        if (nextHandle_ == 0) nextHandle_ = 1;
        devices_[id] = open;
        for (const auto& [number, pipes] : open->alternates)
            pipeTables_.push_back(pipes);
    }
    TraceMsg("LibusbLayer: board " + hex4(match_.vendorId) + ":" + hex4(match_.productId) + " at " +
             where(device) + " opened as device " + std::to_string(id));
    if (events_.attach && !events_.attach(id, events_.userData)) {
        TraceMsg("LibusbLayer: device " + std::to_string(id) + " rejected; closing it");
        std::lock_guard lock(devicesMutex_);
        devices_.erase(id);
    }
}

void LibusbLayer::left(libusb_device* device) {
    std::vector<std::pair<DeviceHandle, std::shared_ptr<OpenDevice>>> gone;
    {
        std::lock_guard lock(devicesMutex_);
        for (auto it = devices_.begin(); it != devices_.end();) {
            if (it->second->device == device) {
                gone.emplace_back(it->first, std::move(it->second));
                it = devices_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& [id, open] : gone) {
        TraceMsg("LibusbLayer: device " + std::to_string(id) + " (" + where(device) + ") left");
        if (events_.detach) events_.detach(id, events_.userData);
    }
    // The boards close here, or when a transfer still running on one of them ends.
}

std::optional<UsbBoard> LibusbLayer::identify(DeviceHandle device) {
    auto open = find(device);
    if (!open) return std::nullopt;
    return open->board;
}

std::shared_ptr<LibusbLayer::OpenDevice> LibusbLayer::find(DeviceHandle device) {
    std::lock_guard lock(devicesMutex_);
    auto it = devices_.find(device);
    return it == devices_.end() ? nullptr : it->second;
}

Status LibusbLayer::getDeviceInfo(DeviceHandle device, DeviceInfo* info) {
    auto open = find(device);
    if (!open) {
        TraceMsg("LibusbLayer::getDeviceInfo: no board attached as device " +
                 std::to_string(device));
        return status::NoDevice;
    }
    if (info) {
        info->activeInterface = static_cast<std::uint32_t>(open->interfaceNumber);
        info->activeAlternate = {};
        auto it = open->alternates.find(open->alternate.load());
        if (it != open->alternates.end())
            info->activeAlternate = {static_cast<std::uint8_t>(it->second->size()),
                                     it->second->empty() ? nullptr : it->second->data()};
    }
    return status::Success;
}

Status LibusbLayer::transferBulk(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                                 std::uint32_t, std::uint8_t* buffer, std::uint32_t size,
                                 std::uint32_t* transferred, std::uint32_t timeoutMs) {
    if (transferred) *transferred = 0;
    const bool read = readFlag != 0;
    // Built only when something is traced: the success path stays free of allocations.
    const auto what = [&] {
        return "LibusbLayer::transferBulk (device " + std::to_string(device) + ", pipe " +
               hex2(pipe) + (read ? " in" : " out") + ", " + std::to_string(size) + " bytes)";
    };
    if (pipe > 0xFF || size > static_cast<std::uint32_t>(INT_MAX) ||
        (buffer == nullptr && size > 0)) {
        TraceMsg(what() + ": invalid parameter");
        return status::InvalidParam;
    }
    auto open = find(device);
    if (!open) {
        TraceMsg(what() + ": no board attached as this device");
        return status::NoDevice;
    }
    const auto endpoint = static_cast<unsigned char>(pipe | (read ? LIBUSB_ENDPOINT_IN : 0));
    int actual = 0;
    const int r = libusb_bulk_transfer(open->handle, endpoint, buffer, static_cast<int>(size),
                                       &actual, timeoutMs);
    if (transferred) *transferred = static_cast<std::uint32_t>(actual);
    if (r != LIBUSB_SUCCESS) {
        TraceMsg(what() + ": " + errorName(r) + " after " + std::to_string(actual) + " bytes");
        return static_cast<Status>(r);
    }
    return status::Success;
}

Status LibusbLayer::transfer(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                             std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                             std::uint32_t* transferred, const std::uint8_t setup[8],
                             std::uint32_t timeoutMs) {
    if (pipe != 0)
        return transferBulk(device, pipe, readFlag, options, buffer, size, transferred, timeoutMs);
    if (transferred) *transferred = 0;
    const auto what = [&] {
        return "LibusbLayer::transfer (device " + std::to_string(device) + ", control pipe 0, " +
               std::to_string(size) + " bytes)";
    };
    if (setup == nullptr || (buffer == nullptr && size > 0)) {
        TraceMsg(what() + ": invalid parameter");
        return status::InvalidParam;
    }
    auto open = find(device);
    if (!open) {
        TraceMsg(what() + ": no board attached as this device");
        return status::NoDevice;
    }
    // The setup packet's length field says how much data the request moves; never more
    // than the buffer holds.
    const auto wLength = static_cast<std::uint16_t>(setup[6] | setup[7] << 8);
    const auto length = static_cast<std::uint16_t>(std::min<std::uint32_t>(size, wLength));
    const int r = libusb_control_transfer(
        open->handle, setup[0], setup[1], static_cast<std::uint16_t>(setup[2] | setup[3] << 8),
        static_cast<std::uint16_t>(setup[4] | setup[5] << 8), buffer, length, timeoutMs);
    if (r < 0) {
        TraceMsg(what() + ": " + errorName(r));
        return static_cast<Status>(r);
    }
    if (transferred) *transferred = static_cast<std::uint32_t>(r);
    return status::Success;
}

Status LibusbLayer::setInterface(DeviceHandle device, std::uint32_t interfaceNumber,
                                 std::uint32_t alternateSetting) {
    const std::string what = "LibusbLayer::setInterface (device " + std::to_string(device) +
                             ", interface " + std::to_string(interfaceNumber) + ", alternate " +
                             std::to_string(alternateSetting) + ")";
    auto open = find(device);
    if (!open) {
        TraceMsg(what + ": no board attached as this device");
        return status::NoDevice;
    }
    if (interfaceNumber > 0xFF || alternateSetting > 0xFF) {
        TraceMsg(what + ": invalid parameter");
        return status::InvalidParam;
    }
    const int r = libusb_set_interface_alt_setting(open->handle, static_cast<int>(interfaceNumber),
                                                   static_cast<int>(alternateSetting));
    if (r != LIBUSB_SUCCESS) {
        TraceMsg(what + ": " + errorName(r));
        return static_cast<Status>(r);
    }
    if (static_cast<int>(interfaceNumber) == open->interfaceNumber)
        open->alternate.store(alternateSetting);
    return status::Success;
}

std::string LibusbLayer::stat2Str(Status s) {
    const int code = static_cast<int>(static_cast<std::int32_t>(s));
    return std::string(libusb_error_name(code)) + ": " + libusb_strerror(code);
}

} // namespace korva
