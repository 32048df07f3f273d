#include "umockdev_board.h"

// <linux/ioctl.h> must come before <linux/usbdevice_fs.h> in C++.
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace korva::test {
namespace {

// Holds a reference that the caller owns.
std::shared_ptr<UMockdevIoctlData> own(UMockdevIoctlData* d) {
    return d ? std::shared_ptr<UMockdevIoctlData>(d, g_object_unref) : nullptr;
}

// Runs f on the client's memory that the ioctl argument points to, as a T.
template <typename T, typename F> void onArg(UMockdevIoctlData* arg, F f) {
    f(*reinterpret_cast<T*>(own(umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr))->data));
}

usbdevfs_urb& urbOf(const std::shared_ptr<UMockdevIoctlData>& d) {
    return *reinterpret_cast<usbdevfs_urb*>(d->data);
}

} // namespace

UmockdevBed::UmockdevBed() {
    g_autofree gchar* dir = umockdev_testbed_get_root_dir(testbed.get());
    root = dir;
    // libusb decides once, at init, whether sysfs is there; it must be, even before the
    // first device arrives, or libusb reads descriptors from the node instead.
    for (const char* d : {"/sys/bus", "/sys/bus/usb", "/sys/bus/usb/devices", "/dev", "/dev/bus",
                          "/dev/bus/usb", "/dev/bus/usb/001"})
        ::mkdir((root + d).c_str(), 0755);
}

EmulatedBoard::EmulatedBoard(UmockdevBed& bed, std::uint16_t vendorId, std::uint16_t productId,
                             int address, std::string serial)
    : bed_(bed), serial_(std::move(serial)) {
    g_autofree gchar* node = g_strdup_printf("/dev/bus/usb/001/%03d", address);
    devnode = node;
    syspath_ = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(address - 1);
    // No "N:" line: umockdev would make the node a regular file in place of our FIFO. The
    // descriptors: the device's, then one configuration with one vendor-class interface
    // and four bulk endpoints of 512 bytes.
    g_autofree gchar* record = g_strdup_printf(
        "P: %s\nE: DEVNAME=%s\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n"
        "E: BUSNUM=001\nE: DEVNUM=%03d\nE: PRODUCT=%04x/%04x/100\nA: busnum=1\nA: devnum=%d\n"
        "A: idVendor=%04x\nA: idProduct=%04x\nA: speed=480\nA: bConfigurationValue=1\n"
        "A: bNumConfigurations=1\nH: descriptors=1201000200000040%02x%02x%02x%02x00010000%02x01"
        "09022e0001010080320904000004ff000000070502020002000705820200020007050502000200"
        "07058502000200\n",
        syspath_.c_str() + 4, devnode.c_str(), address, vendorId, productId, address, vendorId,
        productId, vendorId & 0xFF, vendorId >> 8, productId & 0xFF, productId >> 8,
        serial_.empty() ? 0 : 3);
    record_ = record;
    g_assert_cmpint(::mkfifo((bed_.root + devnode).c_str(), 0666), ==, 0);
    fifo_ = ::open((bed_.root + devnode).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    g_assert_cmpint(fifo_, >=, 0);
    updateFifo();

    // Attach the ioctl handler before the device exists, so no open can miss it.
    using Self = EmulatedBoard;
    g_signal_connect(handler_, "handle-ioctl",
                     G_CALLBACK(+[](UMockdevIoctlBase*, UMockdevIoctlClient* c, Self* self) {
                         self->handle(c);
                         return TRUE;
                     }),
                     this);
    g_signal_connect(handler_, "client-vanished",
                     G_CALLBACK(+[](UMockdevIoctlBase*, UMockdevIoctlClient* c, Self* self) {
                         std::lock_guard lock(self->m_);
                         self->clients_.erase(c); // and the URBs it had not reaped
                         self->updateFifo();
                     }),
                     this);
    GError* error = nullptr;
    umockdev_testbed_attach_ioctl(bed_.testbed.get(), devnode.c_str(), handler_, &error);
    g_assert_no_error(error);
}

EmulatedBoard::~EmulatedBoard() {
    umockdev_testbed_detach_ioctl(bed_.testbed.get(), devnode.c_str(), nullptr);
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
    ::close(fifo_);
}

std::vector<std::uint8_t> EmulatedBoard::ReplyFor(std::vector<std::uint8_t> command) {
    std::transform(command.begin(), command.end(), command.begin(), std::bit_not<std::uint8_t>());
    return command;
}

void EmulatedBoard::plug() {
    {
        std::lock_guard lock(m_);
        if (std::exchange(plugged_, true)) return; // already in
        ++generation_;
        replies_.clear();
    }
    GError* error = nullptr;
    umockdev_testbed_add_from_string(bed_.testbed.get(), record_.c_str(), &error);
    g_assert_no_error(error);
}

void EmulatedBoard::unplug() {
    {
        std::lock_guard lock(m_);
        plugged_ = false;
        for (auto& [client, c] : clients_)
            for (; !c.pendingIn.empty(); c.pendingIn.pop_front())
                finish(c, c.pendingIn.front(), -ESHUTDOWN);
        updateFifo();
    }
    // "remove" first, while the sysfs entry still exists for udev to describe the device.
    umockdev_testbed_uevent(bed_.testbed.get(), syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(bed_.testbed.get(), syspath_.c_str());
}

// Marks a URB done and queues it for reaping. For IN URBs `data` is what the board sends.
void EmulatedBoard::finish(Client& c, Urb urb, int status, const std::vector<std::uint8_t>* data,
                           bool half) {
    usbdevfs_urb& u = urbOf(urb.urb);
    u.status = status;
    u.actual_length = status != 0           ? 0
                      : data                ? std::min<int>(data->size(), u.buffer_length)
                      : (u.endpoint & 0x80) ? 0
                                            : u.buffer_length / (half ? 2 : 1);
    if (data && u.actual_length > 0) std::memcpy(urb.buffer->data, data->data(), u.actual_length);
    c.reapable.push_back(urb);
}

void EmulatedBoard::submit(Client& c, UMockdevIoctlData* arg) {
    Urb urb{own(umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr)), nullptr};
    usbdevfs_urb& u = urbOf(urb.urb);
    if (u.buffer_length > 0)
        urb.buffer = own(umockdev_ioctl_data_resolve(urb.urb.get(), offsetof(usbdevfs_urb, buffer),
                                                     static_cast<gsize>(u.buffer_length), nullptr));
    const std::uint8_t ep = u.endpoint;
    const bool out = (ep & 0x80) == 0;
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) return control(c, urb);
    if (u.type != USBDEVFS_URB_TYPE_BULK || (!out && ep != 0x82))
        return finish(c, urb, -EPIPE); // no control request is understood; other IN pipes stall
    const auto* p = urb.buffer ? urb.buffer->data : nullptr;
    if (out)
        received_.emplace_back(ep, std::vector<std::uint8_t>(p, p + (p ? u.buffer_length : 0)));
    if (ep == 0x02) replies_.push_back(ReplyFor(received_.back().second));
    if (!out) c.pendingIn.push_back(urb); // answered now or by the next command
    for (; !c.pendingIn.empty() && !replies_.empty(); replies_.pop_front(), c.pendingIn.pop_front())
        finish(c, c.pendingIn.front(), 0, &replies_.front()); // with the replies not yet read
    if (!out) return;
    const bool stall = ep == 0x05 && failDataOutAt > 0 && --failDataOutAt == 0;
    const bool half = ep == 0x05 && shortDataOutAt > 0 && --shortDataOutAt == 0;
    if (ep == 0x05) mostDataOutInFlight = std::max(mostDataOutInFlight.load(), ++dataOutInFlight_);
    finish(c, urb, stall ? -EPIPE : 0, nullptr, half);
}

// The string descriptors of the serial number: GET_DESCRIPTOR(STRING) for the language list
// (index 0) and for the serial number (index 3), in UTF-16LE after the 8-byte setup packet.
void EmulatedBoard::control(Client& c, Urb urb) {
    usbdevfs_urb& u = urbOf(urb.urb);
    std::uint8_t* p = urb.buffer ? urb.buffer->data : nullptr;
    if (!p || u.buffer_length < 8 || serial_.empty() || p[0] != 0x80 || p[1] != 0x06 ||
        p[3] != 0x03)
        return finish(c, urb, -EPIPE);
    std::vector<std::uint8_t> d;
    if (p[2] == 0) {
        d = {4, 3, 0x09, 0x04}; // English (United States)
    } else if (p[2] == 3) {
        d = {std::uint8_t(2 + 2 * serial_.size()), 3};
        for (char ch : serial_)
            d.insert(d.end(), {std::uint8_t(ch), 0});
    } else {
        return finish(c, urb, -EPIPE);
    }
    const int length = std::min<int>({int(d.size()), p[6] | p[7] << 8, u.buffer_length - 8});
    std::memcpy(p + 8, d.data(), std::size_t(length));
    u.status = 0;
    u.actual_length = length;
    c.reapable.push_back(urb);
}

int EmulatedBoard::discard(Client& c, UMockdevIoctlData* arg) {
    ++discards;
    gulong address = 0; // the argument is the URB's address itself
    std::memcpy(&address, arg->data, sizeof address);
    auto found = std::find_if(c.pendingIn.begin(), c.pendingIn.end(),
                              [&](const Urb& u) { return u.urb->client_addr == address; });
    if (found == c.pendingIn.end()) return EINVAL; // already done
    finish(c, *found, -ENOENT);
    c.pendingIn.erase(found);
    return 0;
}

void EmulatedBoard::handle(UMockdevIoctlClient* client) {
    std::lock_guard lock(m_);
    const gulong request = umockdev_ioctl_client_get_request(client);
    auto [it, opened] = clients_.try_emplace(client, Client{generation_, {}, {}});
    // libusb asks for the capabilities first thing after it opens the node: a client met
    // before with that request is a new open whose client object took the place of one
    // that has gone (umockdev may tell of the old one's end only later).
    if (!opened && request == USBDEVFS_GET_CAPABILITIES) it->second = Client{generation_, {}, {}};
    opens += opened || request == USBDEVFS_GET_CAPABILITIES;
    Client& c = it->second;
    const bool live = plugged_ && c.generation == generation_;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    int err = 0; // the errno of the answer, 0 for success
    Urb reaped;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        onArg<std::uint32_t>(arg, [](std::uint32_t& v) {
            v = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        });
        break;
    case USBDEVFS_CLAIMINTERFACE: // only interface 0
    case USBDEVFS_RELEASEINTERFACE:
        onArg<unsigned>(arg, [&](unsigned iface) { err = !live ? ENODEV : iface ? EINVAL : 0; });
        claims += err == 0 && request == USBDEVFS_CLAIMINTERFACE;
        break;
    case USBDEVFS_SUBMITURB:
        err = live ? (submit(c, arg), 0) : ENODEV;
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        if (c.reapable.empty()) {
            err = live ? EAGAIN : ENODEV;
        } else if (reapsBeforeFailure == 0) {
            err = EIO;
        } else {
            reaped = c.reapable.front();
            c.reapable.pop_front();
            umockdev_ioctl_data_set_ptr(
                own(umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr)).get(), 0,
                reaped.urb.get()); // the client learns which URB it was
            const bool dataOut = urbOf(reaped.urb).endpoint == 0x05;
            dataOutInFlight_ -= dataOut;
            if (dataOut && reapsBeforeFailure > 0) --reapsBeforeFailure;
        }
        break;
    case USBDEVFS_DISCARDURB:
        err = discard(c, arg);
        break;
    default:
        err = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
    updateFifo();
}

void EmulatedBoard::updateFifo() {
    const bool reapable = std::any_of(clients_.begin(), clients_.end(),
                                      [](const auto& c) { return !c.second.reapable.empty(); });
    if (reapable == fifoFull) { // drain it, or fill it (64 KiB unless resized: bounded)
        char page[4096] = {};
        for (int i = 0; i < 256 && (reapable ? ::read(fifo_, page, sizeof page)
                                             : ::write(fifo_, page, sizeof page)) > 0;
             ++i) {
        }
        fifoFull = !reapable;
    }
}

std::vector<EmulatedBoard::Packet> EmulatedBoard::received() const {
    return std::lock_guard(m_), received_;
}

int EmulatedBoard::pendingReads() const {
    std::lock_guard lock(m_);
    return std::accumulate(clients_.begin(), clients_.end(), 0, [](int n, const auto& c) {
        return n + static_cast<int>(c.second.pendingIn.size());
    });
}

} // namespace korva::test
