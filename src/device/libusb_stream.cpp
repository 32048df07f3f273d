// The asynchronous stream of the libusb layer: kStreamDepth packets in flight at once.
#include "exchange.h"
#include "libusb_open_device.h"

#include <algorithm>
#include <climits>

namespace korva {

using libusb_text::errorName;
using libusb_text::hex2;

namespace {

Status transferStatus(libusb_transfer_status s) {
    switch (s) {
    case LIBUSB_TRANSFER_COMPLETED:
        return status::Success;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return status::Timeout;
    case LIBUSB_TRANSFER_CANCELLED:
        return status::Interrupted;
    case LIBUSB_TRANSFER_STALL:
        return status::Pipe;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return status::NoDevice;
    case LIBUSB_TRANSFER_OVERFLOW:
        return status::Overflow;
    default:
        return status::Io;
    }
}

} // namespace

// One stream in progress. Everything in it is guarded by `m`: the calling thread submits the
// first packets under it while the event thread may already be completing them.
struct LibusbLayer::Stream {
    struct Slot {
        Stream* stream = nullptr;
        libusb_transfer* transfer = nullptr;
        std::uint32_t index = 0; // the packet it carries
        bool busy = false;
    };
    libusb_device_handle* handle = nullptr;
    unsigned char endpoint = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0, packetSize = 0, timeoutMs = 0;
    std::uint32_t packets = 0;
    StreamWatcher* watcher = nullptr;

    std::mutex m;
    std::vector<Slot> slots;
    std::uint32_t next = 0; // the first packet not yet submitted
    std::uint32_t inFlight = 0;
    std::uint32_t failedAt = UINT32_MAX; // the first packet that failed
    Status failure = status::Success;
    int done = 0; // libusb's completion flag: nothing is in flight and nothing more will be

    void fail(std::uint32_t index, Status s) {
        if (index >= failedAt) return;
        failedAt = index;
        failure = s;
        for (auto& slot : slots) // whatever is still on the bus after it is not wanted
            if (slot.busy && slot.index > index) libusb_cancel_transfer(slot.transfer);
    }
    // Hands the next packet to libusb in `slot`; a refused submission fails the stream.
    void submit(Slot& slot) {
        const std::uint32_t index = next++;
        const std::uint64_t at = std::uint64_t{index} * packetSize;
        const auto length = static_cast<int>(std::min<std::uint64_t>(packetSize, size - at));
        // An OUT transfer only reads its buffer: it points into the caller's bytes.
        libusb_fill_bulk_transfer(slot.transfer, handle, endpoint,
                                  const_cast<unsigned char*>(data + at), length, &completed, &slot,
                                  timeoutMs);
        slot.index = index;
        if (watcher) watcher->submitted(index);
        const int r = libusb_submit_transfer(slot.transfer);
        if (r == LIBUSB_SUCCESS) {
            slot.busy = true;
            ++inFlight;
            return;
        }
        if (watcher) watcher->completed(index, static_cast<Status>(r), 0);
        fail(index, static_cast<Status>(r));
    }
    void refill(Slot& slot) {
        if (failedAt == UINT32_MAX && next < packets) submit(slot);
        if (inFlight == 0) done = 1;
    }
    static void LIBUSB_CALL completed(libusb_transfer* transfer) {
        auto& slot = *static_cast<Slot*>(transfer->user_data);
        Stream& st = *slot.stream;
        std::lock_guard lock(st.m);
        slot.busy = false;
        --st.inFlight;
        const Status s = transferStatus(transfer->status);
        if (st.watcher)
            st.watcher->completed(slot.index, s,
                                  static_cast<std::uint32_t>(transfer->actual_length));
        if (s != status::Success && s != status::Interrupted) st.fail(slot.index, s);
        st.refill(slot);
    }
};

Status LibusbLayer::streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                               std::uint32_t size, std::uint32_t packetSize,
                               std::uint32_t* transferred, std::uint32_t timeoutMs,
                               StreamWatcher* watcher) {
    if (transferred) *transferred = 0;
    const auto what = [&] {
        return "LibusbLayer::streamBulk (device " + std::to_string(device) + ", pipe " +
               hex2(pipe) + " out, " + std::to_string(size) + " bytes in packets of " +
               std::to_string(packetSize) + ")";
    };
    if (pipe > 0x7F || packetSize == 0 || packetSize > static_cast<std::uint32_t>(INT_MAX) ||
        (data == nullptr && size > 0)) {
        TraceMsg(what() + ": invalid parameter");
        return status::InvalidParam;
    }
    auto open = find(device); // keeps the board open until every transfer has ended
    if (!open) {
        TraceMsg(what() + ": no board attached as this device");
        return status::NoDevice;
    }
    Stream st;
    st.handle = open->handle;
    st.endpoint = static_cast<unsigned char>(pipe);
    st.data = data;
    st.size = size;
    st.packetSize = packetSize;
    st.timeoutMs = timeoutMs;
    st.packets = static_cast<std::uint32_t>((std::uint64_t{size} + packetSize - 1) / packetSize);
    st.watcher = watcher;
    st.slots.resize(std::min(st.packets, kStreamDepth));
    for (auto& slot : st.slots) {
        slot.stream = &st;
        slot.transfer = libusb_alloc_transfer(0);
        if (!slot.transfer) st.fail(0, status::NoMem);
    }
    {
        std::lock_guard lock(st.m);
        for (auto& slot : st.slots)
            if (st.failedAt == UINT32_MAX) st.submit(slot);
        if (st.inFlight == 0) st.done = 1;
    }
    for (;;) {
        {
            std::lock_guard lock(st.m);
            if (st.inFlight == 0) break;
        }
        const int r = libusb_handle_events_completed(ctx_, &st.done);
        if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_INTERRUPTED) {
            // Events cannot be handled: end the stream, then wait for its transfers to end.
            TraceMsg(what() + ": libusb_handle_events_completed failed: " + errorName(r));
            std::lock_guard lock(st.m);
            st.fail(0, static_cast<Status>(r));
        }
    }
    for (auto& slot : st.slots)
        libusb_free_transfer(slot.transfer);
    if (st.failure == status::Success) {
        if (transferred) *transferred = size;
        return status::Success;
    }
    if (transferred)
        *transferred = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(size, std::uint64_t{st.failedAt} * packetSize));
    TraceMsg(what() + ": " + errorName(static_cast<int>(static_cast<std::int32_t>(st.failure))) +
             " at packet " + std::to_string(st.failedAt));
    return st.failure;
}

} // namespace korva
