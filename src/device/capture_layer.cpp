#include "capture_layer.h"

#include "exchange.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <sys/mman.h>
#include <type_traits>

namespace korva {
namespace {

// The largest record libpcap readers accept without complaint; longer data is cut, the
// URB length still telling the full size.
constexpr int kSnapLength = 262144;
constexpr std::uint16_t kBusNumber = 1;
constexpr std::uint8_t kBulk = 3;
constexpr std::uint8_t kControl = 2;
// Status of a submission in usbmon: -EINPROGRESS.
constexpr std::int32_t kInProgress = -115;
// Linux errno values, written as such whatever system builds the file: the format is
// Linux usbmon's.
constexpr std::int32_t kENOENT = 2, kENODEV = 19, kEPIPE = 32, kEIO = 5, kETIMEDOUT = 110;
// Records waiting in memory beyond this many bytes wake the writing thread early: about a
// thousand exchanges, a few hundred writes a second at full speed.
constexpr std::size_t kEarlyWriteBytes = 256 << 10;
// Each of the two buffers (one filling, one being written) starts with room for what waits
// before an early write and as much again while it is written.
constexpr std::size_t kFirstBufferBytes = 2 * kEarlyWriteBytes;

// The header libpcap's writer puts in front of each record in the file (host byte order,
// as the file header says). Records are queued in this layout, so that a batch of them
// reaches the file in one write.
struct RecordHeader {
    std::uint32_t sec, usec, caplen, len;
};

template <typename T> void put(std::uint8_t* at, T value) {
    // usbmon headers are little-endian: copied as they are on such a host, byte by byte
    // on any other.
    auto u = static_cast<std::make_unsigned_t<T>>(value);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(at, &u, sizeof u);
    } else {
        for (std::size_t i = 0; i < sizeof(T); ++i)
            at[i] = static_cast<std::uint8_t>(u >> (8 * i));
    }
}

} // namespace

void CaptureLayer::Bytes::reserve(std::size_t n) {
    if (n <= capacity_) return;
    // Mapped with its pages in place: touching fresh pages one fault at a time costs more
    // than the records written into them, on a virtual machine most of all.
    void* m = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                     -1, 0);
    if (m == MAP_FAILED) throw std::bad_alloc();
    Memory bigger(static_cast<std::uint8_t*>(m), Unmap{n});
    if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = n;
}

void CaptureLayer::Bytes::Unmap::operator()(std::uint8_t* p) const {
    ::munmap(p, size);
}

std::uint8_t* CaptureLayer::Bytes::grow(std::size_t n) {
    if (size_ + n > capacity_) reserve(std::max(size_ + n, 2 * capacity_));
    std::uint8_t* at = data_.get() + size_;
    size_ += n;
    return at;
}

CaptureLayer::CaptureLayer(UsbLayer& inner) : inner_(inner) {}

CaptureLayer::CaptureLayer(UsbLayer& inner, const std::string& path) : CaptureLayer(inner) {
    open(path);
}

void CaptureLayer::open(const std::string& path) {
    close();
    // Only checked here: the file is created (or emptied) when the first record is written,
    // so that a command that sends nothing leaves an existing capture as it was.
    if (const std::string why = cannotWrite(path); !why.empty()) {
        std::string shown = path; // a NUL would end the message where it stands
        for (std::size_t at = 0; (at = shown.find('\0', at)) != std::string::npos;)
            shown.replace(at, 1, "\\0");
        throw std::runtime_error("cannot write capture file " + shown + ": " + why);
    }
    path_ = path;
    {
        std::lock_guard lock(m_);
        queue_.reserve(kFirstBufferBytes);
        writing_.reserve(kFirstBufferBytes);
        stopping_ = false;
        recording_ = true;
        described_.reset();
    }
    {
        std::lock_guard lock(fileMutex_);
        fileWanted_ = true;
    }
    flusher_ = std::thread([this] { flusherLoop(); });
}

std::string CaptureLayer::cannotWrite(const std::string& path) {
    // A NUL would end the name where the system reads it: another file than the one named.
    if (path.find('\0') != std::string::npos) return "the file name holds a NUL byte";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
        // Asked without opening it: opening may have effects of its own (a FIFO, a device).
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return std::strerror(errno);
        return {};
    }
    if (errno != ENOENT) return std::strerror(errno);
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (::faccessat(AT_FDCWD, folder.empty() ? "." : folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return std::strerror(errno);
    return {};
}

std::string CaptureLayer::createFile() {
    // Opened here rather than by pcap_dump_open so that the reason for a failure is the
    // system's own ("No such file or directory", "Permission denied").
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (!file) return std::strerror(errno);
    pcap_ = pcap_open_dead(kLinkType, kSnapLength);
    if (!pcap_) {
        std::fclose(file);
        return "libpcap could not set up a writer";
    }
    dumper_ = pcap_dump_fopen(pcap_, file);
    if (!dumper_) {
        const std::string reason = pcap_geterr(pcap_);
        std::fclose(file);
        return reason;
    }
    // The file header goes out at once; the records follow it straight through the file's
    // descriptor, so that a failed write shows exactly how much reached the file.
    errno = 0;
    if (pcap_dump_flush(dumper_) != 0) {
        const int err = errno != 0 ? errno : EIO;
        if (::ftruncate(::fileno(file), 0) != 0) // no torn header either
            TraceMsg("CaptureLayer: cannot empty " + path_ + ": " + std::strerror(errno));
        return std::strerror(err);
    }
    return {};
}

void CaptureLayer::closeFile() {
    if (dumper_) pcap_dump_close(dumper_);
    dumper_ = nullptr;
    if (pcap_) pcap_close(pcap_);
    pcap_ = nullptr;
}

CaptureLayer::~CaptureLayer() {
    close();
}

void CaptureLayer::close() {
    {
        std::lock_guard lock(m_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (flusher_.joinable()) flusher_.join();
    {
        std::lock_guard lock(m_);
        recording_ = false;
    }
    if (!writeOut()) reportWriteFailure();
    std::lock_guard file(fileMutex_);
    closeFile();
    fileWanted_ = false;
}

std::int32_t CaptureLayer::errnoForStatus(Status s) {
    switch (s) {
    case status::Success:
        return 0;
    case status::Timeout:
        return -kETIMEDOUT;
    case status::NoDevice:
        return -kENODEV;
    case status::Pipe:
        return -kEPIPE;
    case status::Interrupted: // cancelled, as usbmon shows an unlinked URB
        return -kENOENT;
    default:
        return -kEIO;
    }
}

std::uint8_t CaptureLayer::deviceNumber(DeviceHandle device) {
    if (device == 0) return 0;
    return static_cast<std::uint8_t>((device - 1) % 127 + 1);
}

Status CaptureLayer::init(DriverHandle* driver, const MatchEntry& match, const EventTable& events) {
    {
        std::lock_guard lock(m_);
        match_ = match;
    }
    return inner_.init(driver, match, events);
}

void CaptureLayer::uninit(DriverHandle driver) {
    inner_.uninit(driver);
}

Status CaptureLayer::getDeviceInfo(DeviceHandle device, DeviceInfo* info) {
    return inner_.getDeviceInfo(device, info);
}

Status CaptureLayer::setInterface(DeviceHandle device, std::uint32_t interfaceNumber,
                                  std::uint32_t alternateSetting) {
    return inner_.setInterface(device, interfaceNumber, alternateSetting);
}

Status CaptureLayer::transferBulk(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                                  std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                                  std::uint32_t* transferred, std::uint32_t timeoutMs) {
    const bool in = readFlag != 0;
    const auto endpoint = static_cast<std::uint8_t>((pipe & 0x7F) | (in ? 0x80 : 0));
    const std::uint64_t id = submit(device, endpoint, kBulk, nullptr, buffer, size);
    std::uint32_t count = 0;
    const Status s =
        inner_.transferBulk(device, pipe, readFlag, options, buffer, size, &count, timeoutMs);
    if (transferred) *transferred = count;
    complete(id, device, endpoint, kBulk, s, buffer, size, count);
    return s;
}

Status CaptureLayer::transfer(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                              std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                              std::uint32_t* transferred, const std::uint8_t setup[8],
                              std::uint32_t timeoutMs) {
    const bool in = readFlag != 0;
    const auto endpoint = static_cast<std::uint8_t>((pipe & 0x7F) | (in ? 0x80 : 0));
    // Pipe 0 is the control pipe: its submission carries the setup packet. Every other
    // pipe of the board is a bulk pipe, where the setup packet is ignored.
    const std::uint8_t type = (pipe & 0x7F) == 0 ? kControl : kBulk;
    const std::uint64_t id =
        submit(device, endpoint, type, type == kControl ? setup : nullptr, buffer, size);
    std::uint32_t count = 0;
    const Status s =
        inner_.transfer(device, pipe, readFlag, options, buffer, size, &count, setup, timeoutMs);
    if (transferred) *transferred = count;
    complete(id, device, endpoint, type, s, buffer, size, count);
    return s;
}

// A stream's packets, recorded as the wrapped layer submits and completes them: each a
// URB of its own, its bytes with its submission.
class CaptureLayer::StreamRecorder : public StreamWatcher {
  public:
    StreamRecorder(CaptureLayer& capture, DeviceHandle device, std::uint8_t endpoint,
                   const std::uint8_t* data, std::uint32_t size, std::uint32_t packetSize,
                   std::uint64_t firstUrb, StreamWatcher* outer)
        : capture_(capture), device_(device), endpoint_(endpoint), data_(data), size_(size),
          packetSize_(packetSize), firstUrb_(firstUrb), outer_(outer) {}
    void submitted(std::uint32_t index) override {
        capture_.submit(device_, endpoint_, kBulk, nullptr, data_ + offset(index), length(index),
                        firstUrb_ + index);
        if (outer_) outer_->submitted(index);
    }
    void completed(std::uint32_t index, Status s, std::uint32_t transferred) override {
        capture_.complete(firstUrb_ + index, device_, endpoint_, kBulk, s, nullptr, length(index),
                          transferred);
        if (outer_) outer_->completed(index, s, transferred);
    }

  private:
    std::uint64_t offset(std::uint32_t index) const { return std::uint64_t{index} * packetSize_; }
    std::uint32_t length(std::uint32_t index) const {
        return static_cast<std::uint32_t>(
            std::min<std::uint64_t>(packetSize_, size_ - offset(index)));
    }
    CaptureLayer& capture_;
    DeviceHandle device_;
    std::uint8_t endpoint_;
    const std::uint8_t* data_;
    std::uint32_t size_, packetSize_;
    std::uint64_t firstUrb_;
    StreamWatcher* outer_;
};

Status CaptureLayer::streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                                std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                                std::uint32_t timeoutMs, StreamWatcher* watcher) {
    if (packetSize == 0 || (data == nullptr && size > 0))
        return inner_.streamBulk(device, pipe, data, size, packetSize, report, timeoutMs, watcher);
    std::uint64_t firstUrb = 0;
    {
        std::lock_guard lock(m_);
        firstUrb = nextUrb_;
        nextUrb_ += (std::uint64_t{size} + packetSize - 1) / packetSize;
    }
    StreamRecorder recorder(*this, device, static_cast<std::uint8_t>(pipe & 0x7F), data, size,
                            packetSize, firstUrb, watcher);
    return inner_.streamBulk(device, pipe, data, size, packetSize, report, timeoutMs, &recorder);
}

std::uint64_t CaptureLayer::submit(DeviceHandle device, std::uint8_t endpoint,
                                   std::uint8_t transferType, const std::uint8_t* setup,
                                   const std::uint8_t* buffer, std::uint32_t size,
                                   std::uint64_t urbId) {
    std::lock_guard lock(m_);
    if (recording_) describeDevice(device);
    const std::uint64_t id = urbId != 0 ? urbId : nextUrb_++;
    if (!recording_) return id;
    if (endpoint & 0x80) // IN: the data comes with the completion
        writeRecord(id, 'S', transferType, endpoint, device, setup, '<', kInProgress, size, nullptr,
                    0);
    else
        writeRecord(id, 'S', transferType, endpoint, device, setup, 0, kInProgress, size, buffer,
                    buffer ? size : 0);
    return id;
}

void CaptureLayer::complete(std::uint64_t urbId, DeviceHandle device, std::uint8_t endpoint,
                            std::uint8_t transferType, Status s, const std::uint8_t* buffer,
                            std::uint32_t size, std::uint32_t transferred) {
    const std::uint32_t actual = std::min(transferred, size);
    std::lock_guard lock(m_);
    if (!recording_) return;
    if (endpoint & 0x80)
        writeRecord(urbId, 'C', transferType, endpoint, device, nullptr, 0, errnoForStatus(s),
                    actual, buffer, buffer ? actual : 0);
    else
        writeRecord(urbId, 'C', transferType, endpoint, device, nullptr, '>', errnoForStatus(s),
                    actual, nullptr, 0);
}

void CaptureLayer::describeDevice(DeviceHandle device) {
    const std::uint8_t number = deviceNumber(device);
    if (number == 0 || described_.test(number)) return;
    described_.set(number);
    // GET_DESCRIPTOR (device), 18 bytes; the answer: bLength, DEVICE, USB 2.00, class,
    // subclass and protocol given per interface, 64-byte endpoint 0, idVendor, idProduct,
    // bcdDevice 1.00, no strings, one configuration.
    static constexpr std::uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0};
    const auto lo = [](std::uint16_t v) { return static_cast<std::uint8_t>(v); };
    const auto hi = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); };
    // clang-format off
    const std::uint8_t descriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64,
                                         lo(match_.vendorId), hi(match_.vendorId),
                                         lo(match_.productId), hi(match_.productId),
                                         0x00, 0x01, 0, 0, 0, 1};
    // clang-format on
    const std::uint64_t id = nextUrb_++;
    writeRecord(id, 'S', kControl, 0x80, device, setup, '<', kInProgress, sizeof descriptor,
                nullptr, 0);
    writeRecord(id, 'C', kControl, 0x80, device, nullptr, 0, 0, sizeof descriptor, descriptor,
                sizeof descriptor);
}

void CaptureLayer::writeRecord(std::uint64_t urbId, char type, std::uint8_t transferType,
                               std::uint8_t endpoint, DeviceHandle device,
                               const std::uint8_t* setup, char dataFlag, std::int32_t status,
                               std::uint32_t urbLength, const std::uint8_t* data,
                               std::uint32_t dataLength) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    const std::int64_t sec = usec / 1000000;
    const auto micro = static_cast<std::int32_t>(usec % 1000000);

    const std::uint32_t captured = std::min<std::uint32_t>(dataLength, kSnapLength - kHeaderSize);
    const std::uint32_t length = kHeaderSize + captured;
    const RecordHeader record{static_cast<std::uint32_t>(sec), static_cast<std::uint32_t>(micro),
                              length, length};
    // The record goes straight into the queue, each of its bytes written once.
    const std::size_t at = queue_.size();
    std::uint8_t* const r = queue_.grow(sizeof record + length);
    std::memcpy(r, &record, sizeof record);
    std::uint8_t* h = r + sizeof record;
    std::memset(h, 0, kHeaderSize); // interval, start frame, flags, descriptor count: zero
    put<std::uint64_t>(h + 0, urbId);
    h[8] = static_cast<std::uint8_t>(type);
    h[9] = transferType;
    h[10] = endpoint;
    h[11] = deviceNumber(device);
    put<std::uint16_t>(h + 12, kBusNumber);
    h[14] = setup ? 0 : static_cast<std::uint8_t>('-');
    h[15] = static_cast<std::uint8_t>(dataFlag);
    put<std::int64_t>(h + 16, sec);
    put<std::int32_t>(h + 24, micro);
    put<std::int32_t>(h + 28, status);
    put<std::uint32_t>(h + 32, urbLength);
    put<std::uint32_t>(h + 36, captured);
    if (setup) std::memcpy(h + 40, setup, 8);
    if (captured > 0) std::memcpy(h + kHeaderSize, data, captured);

    // The writing thread sleeps until records wait, then gives them a moment to gather; it
    // is woken early when many have gathered.
    if ((at == 0 && writerIdle_) || (at < kEarlyWriteBytes && queue_.size() >= kEarlyWriteBytes))
        wake_.notify_one();
}

bool CaptureLayer::writeOut() {
    std::lock_guard fileLock(fileMutex_);
    {
        std::lock_guard lock(m_);
        writing_.swap(queue_);
    }
    if (writing_.empty() || !fileWanted_) {
        writing_.clear();
        return true;
    }
    if (!dumper_) {
        if (const std::string why = createFile(); !why.empty())
            return stopRecording("cannot write capture file " + path_ + ": " + why +
                                 "; USB traffic is not recorded");
    }
    const int fd = ::fileno(pcap_dump_file(dumper_));
    std::size_t written = 0;
    int err = 0;
    while (written < writing_.size() && err == 0) {
        const ssize_t n = ::write(fd, writing_.data() + written, writing_.size() - written);
        if (n > 0)
            written += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            err = n == 0 ? EIO : errno;
    }
    if (err == 0) {
        writing_.clear();
        return true;
    }
    // A full disk or a file too large: the file ends with the last record written whole,
    // so that it reads to its end, and nothing more is written to it.
    std::size_t whole = 0;
    for (std::size_t at = 0; at + sizeof(RecordHeader) <= written;) {
        RecordHeader h;
        std::memcpy(&h, writing_.data() + at, sizeof h);
        at += sizeof h + h.caplen;
        if (at <= written) whole = at;
    }
    // The descriptor stands where the writes stopped, `written` bytes past where this batch
    // began.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if ((end < 0 || ::ftruncate(fd, end - static_cast<off_t>(written - whole)) != 0) &&
        whole < written)
        TraceMsg("CaptureLayer: cannot cut " + path_ +
                 " back to its last whole record: " + std::strerror(errno));
    return stopRecording("writing capture file " + path_ + " failed (" + std::strerror(err) +
                         "); USB traffic is no longer recorded");
}

bool CaptureLayer::stopRecording(std::string why) {
    closeFile();
    fileWanted_ = false;
    writing_.clear();
    std::lock_guard lock(m_);
    recording_ = false;
    queue_.clear();
    writeFailure_ = std::move(why);
    return false;
}

void CaptureLayer::flush() {
    if (!writeOut()) reportWriteFailure();
    inner_.flush();
}

void CaptureLayer::flusherLoop() {
    std::unique_lock lock(m_);
    for (;;) {
        writerIdle_ = true;
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        writerIdle_ = false;
        if (wake_.wait_for(lock, kFlushDelay,
                           [this] { return stopping_ || queue_.size() >= kEarlyWriteBytes; }) &&
            stopping_)
            return;
        lock.unlock();
        if (!writeOut()) reportWriteFailure();
        lock.lock();
    }
}

void CaptureLayer::reportWriteFailure() {
    std::string text;
    {
        std::lock_guard lock(m_);
        text.swap(writeFailure_);
    }
    if (!text.empty() && onNotice) onNotice(text);
}

} // namespace korva
