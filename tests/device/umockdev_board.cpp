#include "umockdev_board.h"

// <linux/ioctl.h> must come before <linux/usbdevice_fs.h> in C++.
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace korva::test {
namespace {

constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;

// Device descriptor, then the configuration: one vendor-class interface with four bulk
// endpoints of 512 bytes (high speed).
std::string descriptorsHex(std::uint16_t vendorId, std::uint16_t productId) {
    std::vector<std::uint8_t> d = {0x12,
                                   0x01,
                                   0x00,
                                   0x02,
                                   0x00,
                                   0x00,
                                   0x00,
                                   0x40,
                                   static_cast<std::uint8_t>(vendorId & 0xFF),
                                   static_cast<std::uint8_t>(vendorId >> 8),
                                   static_cast<std::uint8_t>(productId & 0xFF),
                                   static_cast<std::uint8_t>(productId >> 8),
                                   0x00,
                                   0x01,
                                   0x00,
                                   0x00,
                                   0x00,
                                   0x01};
    const std::uint8_t totalLength = 9 + 9 + 4 * 7;
    const std::vector<std::uint8_t> config = {0x09, 0x02, totalLength, 0x00, 0x01, 0x01,
                                              0x00, 0x80, 0x32,        0x09, 0x04, 0x00,
                                              0x00, 0x04, 0xFF,        0x00, 0x00, 0x00};
    d.insert(d.end(), config.begin(), config.end());
    for (std::uint8_t ep : {0x02, 0x82, 0x05, 0x85})
        d.insert(d.end(), {0x07, 0x05, ep, 0x02, 0x00, 0x02, 0x00});
    std::string hex;
    char buf[3];
    for (auto b : d) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        hex += buf;
    }
    return hex;
}

std::string format(const char* fmt, int value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

} // namespace

UmockdevBed::UmockdevBed() : tb_(umockdev_testbed_new()) {
    gchar* root = umockdev_testbed_get_root_dir(tb_);
    root_ = root;
    g_free(root);
    // libusb decides once, at init, whether sysfs is there; it must be, even before the
    // first device arrives, or libusb reads descriptors from the node instead.
    for (const char* dir : {"/sys/bus", "/sys/bus/usb", "/sys/bus/usb/devices", "/dev", "/dev/bus",
                            "/dev/bus/usb", "/dev/bus/usb/001"})
        ::mkdir((root_ + dir).c_str(), 0755);
}

UmockdevBed::~UmockdevBed() {
    g_object_unref(tb_);
}

EmulatedBoard::EmulatedBoard(UmockdevBed& bed, std::uint16_t vendorId, std::uint16_t productId,
                             int address)
    : bed_(bed), vendorId_(vendorId), productId_(productId), address_(address),
      devnode_(format("/dev/bus/usb/001/%03d", address)),
      syspath_(format("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d", address - 1)) {
    const std::string fifoPath = bed_.root() + devnode_;
    if (::mkfifo(fifoPath.c_str(), 0666) != 0)
        throw std::runtime_error("mkfifo " + fifoPath + ": " + std::strerror(errno));
    fifo_ = ::open(fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_ < 0) throw std::runtime_error("open " + fifoPath + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fifo_, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        ::close(fifo_);
        throw std::runtime_error(fifoPath + " is not a FIFO");
    }
    updateFifo();

    // Attach the ioctl handler before the device exists, so no open can miss it.
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedBoard::onIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(&EmulatedBoard::onConnected), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&EmulatedBoard::onVanished), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed_.testbed(), devnode_.c_str(), handler_, &error)) {
        std::string what = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev_testbed_attach_ioctl: " + what);
    }
}

EmulatedBoard::~EmulatedBoard() {
    umockdev_testbed_detach_ioctl(bed_.testbed(), devnode_.c_str(), nullptr);
    g_signal_handlers_disconnect_by_data(handler_, this);
    {
        std::lock_guard lock(m_);
        for (auto& [client, c] : clients_) {
            for (auto& u : c.pendingIn)
                release(u);
            for (auto& u : c.reapable)
                release(u);
        }
        clients_.clear();
    }
    g_object_unref(handler_);
    if (fifo_ >= 0) ::close(fifo_);
}

std::vector<std::uint8_t> EmulatedBoard::ReplyFor(const std::vector<std::uint8_t>& command) {
    std::vector<std::uint8_t> reply(command);
    for (auto& b : reply)
        b = static_cast<std::uint8_t>(~b);
    return reply;
}

void EmulatedBoard::plug() {
    {
        std::lock_guard lock(m_);
        plugged_ = true;
        ++generation_;
        replies_.clear();
    }
    // No "N:" line: umockdev would make the node a regular file in place of our FIFO.
    const std::string vid = format("%04x", vendorId_);
    const std::string pid = format("%04x", productId_);
    const std::string record = "P: " + syspath_.substr(4) + "\n" + //
                               "E: DEVNAME=" + devnode_ + "\n" +   //
                               "E: DEVTYPE=usb_device\n"           //
                               "E: DRIVER=usb\n"                   //
                               "E: SUBSYSTEM=usb\n"                //
                               "E: BUSNUM=001\n" +                 //
                               "E: DEVNUM=" +
                               format("%03d", address_) +
                               "\n" //
                               "E: PRODUCT=" +
                               vid + "/" + pid + "/100\n" + //
                               "A: busnum=1\n"              //
                               "A: devnum=" +
                               std::to_string(address_) +
                               "\n" //
                               "A: idVendor=" +
                               vid + "\n" +                   //
                               "A: idProduct=" + pid + "\n" + //
                               "A: speed=480\n"               //
                               "A: bConfigurationValue=1\n"   //
                               "A: bNumConfigurations=1\n"    //
                               "H: descriptors=" +
                               descriptorsHex(vendorId_, productId_) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_.testbed(), record.c_str(), &error)) {
        std::string what = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev_testbed_add_from_string: " + what);
    }
}

void EmulatedBoard::unplug() {
    {
        std::lock_guard lock(m_);
        plugged_ = false;
        for (auto& [client, c] : clients_) {
            while (!c.pendingIn.empty()) {
                Urb u = c.pendingIn.front();
                c.pendingIn.pop_front();
                finish(c, u, -ESHUTDOWN, nullptr);
            }
        }
        replies_.clear();
        updateFifo();
    }
    // "remove" first, while the sysfs entry still exists for udev to describe the device.
    umockdev_testbed_uevent(bed_.testbed(), syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(bed_.testbed(), syspath_.c_str());
}

void EmulatedBoard::failDataOut(int n) {
    std::lock_guard lock(m_);
    failDataOutAt_ = n;
}

void EmulatedBoard::denyAccess() {
    ::chmod((bed_.root() + devnode_).c_str(), 0);
}

gboolean EmulatedBoard::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<EmulatedBoard*>(self)->handle(client);
    return TRUE;
}

void EmulatedBoard::onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* board = static_cast<EmulatedBoard*>(self);
    std::lock_guard lock(board->m_);
    board->clients_[client].generation = board->generation_;
    ++board->opens_;
}

void EmulatedBoard::onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* board = static_cast<EmulatedBoard*>(self);
    std::lock_guard lock(board->m_);
    auto it = board->clients_.find(client);
    if (it == board->clients_.end()) return;
    for (auto& u : it->second.pendingIn)
        release(u);
    for (auto& u : it->second.reapable)
        release(u);
    board->clients_.erase(it);
    board->updateFifo();
}

void EmulatedBoard::release(Urb& urb) {
    if (urb.buffer) g_object_unref(urb.buffer);
    if (urb.urb) g_object_unref(urb.urb);
    urb = {};
}

// Marks a URB done and queues it for reaping. For IN URBs `data` is what the board sends.
void EmulatedBoard::finish(Client& c, Urb urb, int status, const std::vector<std::uint8_t>* data) {
    auto* u = reinterpret_cast<usbdevfs_urb*>(urb.urb->data);
    u->status = status;
    u->actual_length = 0;
    if (status == 0 && (u->endpoint & 0x80) == 0) {
        u->actual_length = u->buffer_length;
    } else if (status == 0 && data && urb.buffer) {
        const auto n =
            std::min<std::size_t>(data->size(), static_cast<std::size_t>(u->buffer_length));
        std::memcpy(urb.buffer->data, data->data(), n);
        u->actual_length = static_cast<int>(n);
        delivered_.push_back({u->endpoint, {data->begin(), data->begin() + static_cast<long>(n)}});
    }
    c.reapable.push_back(urb);
}

void EmulatedBoard::submit(Client& c, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urbData) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* u = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    UMockdevIoctlData* buffer = nullptr;
    if (u->buffer_length > 0) {
        buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(u->buffer_length), nullptr);
        if (!buffer) {
            g_object_unref(urbData);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    Urb urb{urbData, buffer};
    const std::uint8_t ep = u->endpoint;

    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        finish(c, urb, -EPIPE, nullptr); // no control request is understood: stall
    } else if (u->type != USBDEVFS_URB_TYPE_BULK) {
        release(urb);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    } else if ((ep & 0x80) == 0) {
        std::vector<std::uint8_t> data;
        if (buffer) data.assign(buffer->data, buffer->data + u->buffer_length);
        received_.push_back({ep, data});
        if (ep == 0x02) {
            auto reply = ReplyFor(data);
            if (!c.pendingIn.empty()) {
                Urb waiting = c.pendingIn.front();
                c.pendingIn.pop_front();
                finish(c, waiting, 0, &reply);
            } else {
                replies_.push_back(std::move(reply));
            }
        }
        const bool stall = ep == 0x05 && failDataOutAt_ > 0 && --failDataOutAt_ == 0;
        if (ep == 0x05) mostDataOutInFlight_ = std::max(mostDataOutInFlight_, ++dataOutInFlight_);
        finish(c, urb, stall ? -EPIPE : 0, nullptr);
    } else if (ep == 0x82) {
        if (!replies_.empty()) {
            auto reply = std::move(replies_.front());
            replies_.pop_front();
            finish(c, urb, 0, &reply);
        } else {
            c.pendingIn.push_back(urb); // answered by the next command
        }
    } else if (ep == 0x85) {
        std::vector<std::uint8_t> probe(64);
        for (std::size_t i = 0; i < probe.size(); ++i)
            probe[i] = static_cast<std::uint8_t>(i);
        finish(c, urb, 0, &probe);
    } else {
        finish(c, urb, -EPIPE, nullptr);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedBoard::handle(UMockdevIoctlClient* client) {
    std::lock_guard lock(m_);
    auto [it, inserted] = clients_.try_emplace(client);
    if (inserted) it->second.generation = generation_;
    Client& c = it->second;
    const bool live = plugged_ && c.generation == generation_;
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);

    auto reply = [&](long ret, int err) { umockdev_ioctl_client_complete(client, ret, err); };
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
        if (!d) {
            reply(-1, EFAULT);
            break;
        }
        std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
        g_object_unref(d);
        reply(0, 0);
        break;
    }
    case USBDEVFS_GETDRIVER:
        reply(-1, ENODATA); // no kernel driver is bound
        break;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        if (!live) {
            reply(-1, ENODEV);
            break;
        }
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        unsigned iface = 1;
        if (d) {
            std::memcpy(&iface, d->data, sizeof iface);
            g_object_unref(d);
        }
        if (iface != 0) {
            reply(-1, EINVAL);
            break;
        }
        if (request == USBDEVFS_CLAIMINTERFACE) ++claims_;
        reply(0, 0);
        break;
    }
    case USBDEVFS_SETINTERFACE: {
        if (!live) {
            reply(-1, ENODEV);
            break;
        }
        UMockdevIoctlData* d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
        usbdevfs_setinterface s{1, 1};
        if (d) {
            std::memcpy(&s, d->data, sizeof s);
            g_object_unref(d);
        }
        reply(s.interface == 0 && s.altsetting == 0 ? 0 : -1, EINVAL); // only alternate 0
        break;
    }
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        live ? reply(0, 0) : reply(-1, ENODEV);
        break;
    case USBDEVFS_SUBMITURB:
        if (!live)
            reply(-1, ENODEV);
        else
            submit(c, client, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        if (c.reapable.empty()) {
            reply(-1, live ? EAGAIN : ENODEV);
            break;
        }
        UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
        if (!ptr) {
            reply(-1, EFAULT);
            break;
        }
        Urb urb = c.reapable.front();
        c.reapable.pop_front();
        umockdev_ioctl_data_set_ptr(ptr, 0, urb.urb); // the client learns which URB it was
        dataOutInFlight_ -= reinterpret_cast<usbdevfs_urb*>(urb.urb->data)->endpoint == 0x05;
        g_object_unref(ptr);
        reply(0, 0);
        release(urb);
        break;
    }
    case USBDEVFS_DISCARDURB: {
        ++discards_;
        gulong address = 0;
        std::memcpy(&address, arg->data,
                    std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
        auto found = std::find_if(c.pendingIn.begin(), c.pendingIn.end(),
                                  [&](const Urb& u) { return u.urb->client_addr == address; });
        if (found == c.pendingIn.end()) {
            reply(-1, EINVAL); // already done
            break;
        }
        Urb urb = *found;
        c.pendingIn.erase(found);
        finish(c, urb, -ENOENT, nullptr);
        reply(0, 0);
        break;
    }
    default:
        reply(-1, ENOTTY);
        break;
    }
    updateFifo();
}

void EmulatedBoard::updateFifo() {
    bool reapable = false;
    for (const auto& [client, c] : clients_)
        reapable = reapable || !c.reapable.empty();
    // A pipe holds 64 KiB unless resized; the bound only guards against a mistake.
    constexpr int kMaxPages = 256;
    char page[4096] = {};
    if (reapable && fifoFull_) {
        for (int i = 0; i<kMaxPages&& ::read(fifo_, page, sizeof page)> 0; ++i) {
        }
        fifoFull_ = false;
    } else if (!reapable && !fifoFull_) {
        for (int i = 0; i<kMaxPages&& ::write(fifo_, page, sizeof page)> 0; ++i) {
        }
        fifoFull_ = true;
    }
}

std::vector<EmulatedBoard::Packet> EmulatedBoard::received() const {
    std::lock_guard lock(m_);
    return received_;
}
std::vector<EmulatedBoard::Packet> EmulatedBoard::delivered() const {
    std::lock_guard lock(m_);
    return delivered_;
}
int EmulatedBoard::opens() const {
    std::lock_guard lock(m_);
    return opens_;
}
int EmulatedBoard::claims() const {
    std::lock_guard lock(m_);
    return claims_;
}
int EmulatedBoard::pendingReads() const {
    std::lock_guard lock(m_);
    int n = 0;
    for (const auto& [client, c] : clients_)
        n += static_cast<int>(c.pendingIn.size());
    return n;
}
int EmulatedBoard::discards() const {
    std::lock_guard lock(m_);
    return discards_;
}
int EmulatedBoard::mostDataOutInFlight() const {
    std::lock_guard lock(m_);
    return mostDataOutInFlight_;
}
bool EmulatedBoard::fifoWritable() const {
    std::lock_guard lock(m_);
    return !fifoFull_;
}

} // namespace korva::test
