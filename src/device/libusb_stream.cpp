// The asynchronous stream of the libusb layer: kStreamDepth packets in flight at once.
#include "exchange.h"
#include "libusb_open_device.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>
#include <thread>

namespace korva {

using libusb_text::errorName;
using libusb_text::hex2;

namespace {

// One round of the stream's wait is this short, so that it hears soon of lost events.
constexpr long kStreamWaitUs = 100000;
// libusb ends every transfer at its time-out; nothing heard this long after it means that
// events are not handled.
constexpr std::chrono::milliseconds kStreamLostMargin{1000};

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
// first packets under it while the event thread may already be completing them. It lives on
// the heap: a stream given up on while transfers were still in flight (events could not be
// handled) is kept by the layer until they end or the layer closes.
struct LibusbLayer::Stream {
    using Clock = std::chrono::steady_clock;
    struct Slot {
        Stream* stream = nullptr;
        libusb_transfer* transfer = nullptr;
        std::uint32_t index = 0; // the packet it carries
        bool busy = false;
    };
    std::shared_ptr<OpenDevice> open; // keeps the board open while a transfer may run
    unsigned char endpoint = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0, packetSize = 0, timeoutMs = 0;
    std::uint32_t packets = 0;
    StreamWatcher* watcher = nullptr;

    std::mutex m;
    std::vector<Slot> slots;
    std::uint32_t next = 0; // the first packet not yet submitted
    std::uint32_t inFlight = 0;
    std::uint32_t accepted = 0;          // packets completed whole
    std::uint32_t failedAt = UINT32_MAX; // the first packet that failed
    Status failure = status::Success;
    Clock::time_point lastCompletion = Clock::now();
    int done = 0; // libusb's completion flag: nothing is in flight and nothing more will be

    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        // A transfer libusb still counts as in flight may only be freed once its board is
        // closed (closing takes it off libusb's list); while someone else holds the board
        // open it is left allocated rather than freed under libusb.
        const bool flying = inFlight > 0;
        if (flying && open.use_count() > 1) return;
        open.reset();
        for (auto& slot : slots)
            libusb_free_transfer(slot.transfer);
    }

    void fail(std::uint32_t index, Status s) {
        if (index >= failedAt) return;
        failedAt = index;
        failure = s;
        for (auto& slot : slots) // whatever is still on the bus after it is not wanted
            if (slot.busy && slot.index > index) libusb_cancel_transfer(slot.transfer);
    }
    // Events cannot be handled: the first packet not known to be done fails, and every
    // packet still on the bus is cancelled.
    void failUnfinished(Status s) {
        std::uint32_t first = next;
        for (const auto& slot : slots)
            if (slot.busy) first = std::min(first, slot.index);
        fail(first, s);
        for (auto& slot : slots)
            if (slot.busy && slot.index == first) libusb_cancel_transfer(slot.transfer);
    }
    // Hands the next packet to libusb in `slot`; a refused submission fails the stream.
    void submit(Slot& slot) {
        const std::uint32_t index = next++;
        const std::uint64_t at = std::uint64_t{index} * packetSize;
        const auto length = static_cast<int>(std::min<std::uint64_t>(packetSize, size - at));
        // An OUT transfer's data goes to the system as it is submitted: the buffer points
        // into the caller's bytes, which are not read afterwards.
        libusb_fill_bulk_transfer(slot.transfer, open->handle, endpoint,
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
    // The caller stops waiting: what is still on the bus is told to the watcher as
    // cancelled, and nothing more of it reaches the caller's watcher.
    void giveUp() {
        for (const auto& slot : slots)
            if (slot.busy && watcher) watcher->completed(slot.index, status::Interrupted, 0);
        watcher = nullptr;
    }
    static void LIBUSB_CALL completed(libusb_transfer* transfer) {
        auto& slot = *static_cast<Slot*>(transfer->user_data);
        Stream& st = *slot.stream;
        std::lock_guard lock(st.m);
        slot.busy = false;
        --st.inFlight;
        st.lastCompletion = Clock::now();
        Status s = transferStatus(transfer->status);
        // A packet that reached the board only in part was not delivered.
        if (s == status::Success && transfer->actual_length != transfer->length) s = status::Io;
        if (st.watcher)
            st.watcher->completed(slot.index, s,
                                  static_cast<std::uint32_t>(transfer->actual_length));
        if (s == status::Success)
            ++st.accepted;
        else if (s != status::Interrupted)
            st.fail(slot.index, s);
        st.refill(slot);
    }
};

void LibusbLayer::dropEndedStreams(bool all) {
    std::vector<std::shared_ptr<Stream>> ended;
    {
        std::lock_guard lock(streamsMutex_);
        for (auto it = givenUp_.begin(); it != givenUp_.end();) {
            bool over = all;
            if (!over) {
                std::lock_guard streamLock((*it)->m);
                over = (*it)->inFlight == 0;
            }
            if (over) {
                ended.push_back(std::move(*it));
                it = givenUp_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Destroyed here, outside the lock; at uninit, with the event thread stopped.
}

Status LibusbLayer::streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                               std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                               std::uint32_t timeoutMs, StreamWatcher* watcher) {
    if (report) *report = {};
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
    dropEndedStreams(false);
    auto open = find(device);
    if (!open) {
        TraceMsg(what() + ": no board attached as this device");
        return status::NoDevice;
    }
    auto st = std::make_shared<Stream>();
    st->open = std::move(open);
    st->endpoint = static_cast<unsigned char>(pipe);
    st->data = data;
    st->size = size;
    st->packetSize = packetSize;
    st->timeoutMs = timeoutMs;
    st->packets = static_cast<std::uint32_t>((std::uint64_t{size} + packetSize - 1) / packetSize);
    st->watcher = watcher;
    st->slots.resize(std::min(st->packets, kStreamDepth));
    for (auto& slot : st->slots) {
        slot.stream = st.get();
        slot.transfer = libusb_alloc_transfer(0);
        if (!slot.transfer) st->fail(0, status::NoMem);
    }
    {
        std::lock_guard lock(st->m);
        for (auto& slot : st->slots)
            if (st->failedAt == UINT32_MAX) st->submit(slot);
        if (st->inFlight == 0) st->done = 1;
    }

    // The wait handles libusb's events in short rounds. Event handling fails here or on the
    // layer's event thread (whichever handles events tells): the stream then ends, and what
    // is still in flight has the time-out to end as cancelled. libusb ends each transfer by
    // its time-out, so a stream that hears of nothing for longer has lost its events too.
    using Clock = Stream::Clock;
    const auto timeout = std::chrono::milliseconds(timeoutMs);
    const unsigned failuresBefore = eventFailures_.load();
    std::optional<Clock::time_point> giveUpAt;
    for (;;) {
        Status lost = status::Success;
        bool givenUp = false;
        {
            std::lock_guard lock(st->m);
            if (st->inFlight == 0) break;
            const auto now = Clock::now();
            if (giveUpAt && now >= *giveUpAt) {
                st->giveUp();
                givenUp = true;
            } else if (!giveUpAt && now - st->lastCompletion > timeout + kStreamLostMargin) {
                lost = status::Timeout;
            }
        }
        if (givenUp) {
            std::lock_guard streams(streamsMutex_);
            givenUp_.push_back(st);
            break;
        }
        timeval tv{0, kStreamWaitUs};
        int r = libusb_handle_events_timeout_completed(ctx_, &tv, &st->done);
        if ((r == LIBUSB_SUCCESS || r == LIBUSB_ERROR_INTERRUPTED) &&
            eventFailures_.load() != failuresBefore)
            r = lastEventError_.load();
        if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_INTERRUPTED) {
            lost = static_cast<Status>(r);
            // A failing round returns at once: do not spin on it.
            std::this_thread::sleep_for(std::chrono::microseconds(kStreamWaitUs / 10));
        }
        if (lost != status::Success && !giveUpAt) {
            TraceMsg(what() + ": libusb cannot handle events (" +
                     errorName(static_cast<int>(static_cast<std::int32_t>(lost))) +
                     "); the stream ends");
            std::lock_guard lock(st->m);
            st->failUnfinished(lost);
            giveUpAt = Clock::now() + timeout;
        }
    }
    std::lock_guard lock(st->m);
    if (report)
        *report = {st->failure == status::Success ? st->packets : st->failedAt, st->accepted};
    if (st->failure == status::Success) return status::Success;
    TraceMsg(what() + ": " + errorName(static_cast<int>(static_cast<std::int32_t>(st->failure))) +
             " at packet " + std::to_string(st->failedAt) + "; " + std::to_string(st->accepted) +
             " packets accepted in all");
    return st->failure;
}

} // namespace korva
