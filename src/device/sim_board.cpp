#include "sim_board.h"

#include "board.h"

#include <algorithm>
#include <cstring>

namespace korva {

// Power-on values of the simulated AFE (0x00 identifies the chip and its revision).
const std::array<std::uint8_t, SimBoard::kAfeRegisters> SimBoard::kAfePowerOn = {
    0x31, 0x0B, 0x00, 0x40, 0x40, 0x00, 0x80, 0x80, 0x80, 0x40, 0x40, 0x40, // 0x00-0x0B
    0x00, 0x09, 0x03, 0x20, 0x80, 0x08, 0x08, 0x00, 0x00, 0x80, 0x18, 0x02, // 0x0C-0x17
    0x00, 0x20, 0x00, 0x00, 0x35, 0x20, 0x20, 0x20, 0x04, 0x00, 0x10, 0x20, // 0x18-0x23
    0x00, 0x60, 0x25, 0x08, 0x02, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, // 0x24-0x2F
    0x00, 0x00, 0x44, 0x0F, 0x00, 0x00, 0x00, 0x48, 0x11, 0x22, 0x05, 0x00, // 0x30-0x3B
    0x00, 0x00, 0x00, 0x00, 0x1C, 0x00,                                     // 0x3C-0x41
};

const std::array<std::uint8_t, 64> SimBoard::kProbeReply = {'K', 'O', 'R', 'V', 'A', '7', '2',
                                                            '6', ' ', 'd', 'a', 't', 'a'};

SimBoard::SimBoard() : afe_(kAfePowerOn) {
    pipes_ = {PipeInfo{pipe::CommandOut, 512, 2, 2, 0}, PipeInfo{pipe::CommandIn, 512, 2, 1, 0},
              PipeInfo{pipe::DataOut, 512, 2, 2, 0}, PipeInfo{pipe::DataIn, 512, 2, 1, 0}};
}

Status SimBoard::init(DriverHandle* driver, const MatchEntry&, const EventTable& events) {
    EventTable table;
    DeviceHandle attachHandle = 0;
    {
        std::lock_guard lock(m_);
        events_ = events;
        initialised_ = true;
        if (plugged_ && handle_ == 0) handle_ = nextHandle_++;
        attachHandle = plugged_ ? handle_ : 0;
        table = events_;
    }
    if (driver) *driver = 1;
    if (attachHandle != 0 && table.attach) table.attach(attachHandle, table.userData);
    return status::Success;
}

void SimBoard::uninit(DriverHandle) {
    std::lock_guard lock(m_);
    initialised_ = false;
    ++uninitCount_;
    events_ = {};
}

void SimBoard::plug() {
    EventTable table;
    DeviceHandle h = 0;
    {
        std::lock_guard lock(m_);
        if (plugged_) return;
        plugged_ = true;
        handle_ = nextHandle_++;
        h = handle_;
        table = events_;
        reply_.fill(0);
    }
    if (table.attach) table.attach(h, table.userData);
}

void SimBoard::unplugLocked(std::unique_lock<std::mutex>& lock) {
    if (!plugged_) return;
    plugged_ = false;
    const DeviceHandle h = handle_;
    handle_ = 0;
    EventTable table = events_;
    lock.unlock();
    if (table.detach) table.detach(h, table.userData);
    lock.lock();
}

void SimBoard::unplug() {
    std::unique_lock lock(m_);
    unplugLocked(lock);
}

bool SimBoard::plugged() const {
    std::lock_guard lock(m_);
    return plugged_;
}
bool SimBoard::initialised() const {
    std::lock_guard lock(m_);
    return initialised_;
}
int SimBoard::uninitCount() const {
    std::lock_guard lock(m_);
    return uninitCount_;
}

Status SimBoard::getDeviceInfo(DeviceHandle device, DeviceInfo* info) {
    std::lock_guard lock(m_);
    if (!plugged_ || device == 0 || device != handle_) return status::NoDevice;
    if (info) {
        info->activeInterface = 0;
        info->activeAlternate = {static_cast<std::uint8_t>(pipes_.size()), pipes_.data()};
    }
    return status::Success;
}

Status SimBoard::setInterface(DeviceHandle device, std::uint32_t, std::uint32_t) {
    std::lock_guard lock(m_);
    return plugged_ && device == handle_ && device != 0 ? status::Success : status::NoDevice;
}

Status SimBoard::transfer(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                          std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                          std::uint32_t* transferred, const std::uint8_t*,
                          std::uint32_t timeoutMs) {
    if (pipe == 0) return status::NotSupported; // no control requests are emulated
    return transferBulk(device, pipe, readFlag, options, buffer, size, transferred, timeoutMs);
}

Status SimBoard::transferBulk(DeviceHandle device, std::uint32_t pipeNumber, std::uint32_t readFlag,
                              std::uint32_t, std::uint8_t* buffer, std::uint32_t size,
                              std::uint32_t* transferred, std::uint32_t timeoutMs) {
    std::unique_lock lock(m_);
    return transferLocked(lock, device, pipeNumber, readFlag != 0, buffer, size, transferred,
                          timeoutMs);
}

Status SimBoard::streamBulk(DeviceHandle device, std::uint32_t pipeNumber, const std::uint8_t* data,
                            std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                            std::uint32_t timeoutMs, StreamWatcher* watcher) {
    StreamReport done;
    if (report) *report = done;
    if (packetSize == 0 || (data == nullptr && size > 0)) return status::InvalidParam;
    const std::uint64_t packets = (std::uint64_t{size} + packetSize - 1) / packetSize;
    std::vector<std::uint8_t> packet(packetSize);
    Status result = status::Success;
    std::uint64_t next = 0; // the first packet not yet submitted
    for (std::uint64_t i = 0; i < next || (result == status::Success && i < packets); ++i) {
        for (; result == status::Success && next < std::min(packets, i + kStreamDepth); ++next)
            if (watcher) watcher->submitted(static_cast<std::uint32_t>(next));
        if (result != status::Success) {
            if (watcher) watcher->completed(static_cast<std::uint32_t>(i), status::Interrupted, 0);
            continue;
        }
        const std::uint64_t at = i * packetSize;
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(packetSize, size - at));
        std::memcpy(packet.data(), data + at, n);
        std::uint32_t count = 0;
        {
            std::unique_lock lock(m_);
            result = transferLocked(lock, device, pipeNumber, false, packet.data(), n, &count,
                                    timeoutMs);
        }
        if (watcher) watcher->completed(static_cast<std::uint32_t>(i), result, count);
        // Packets behind a failed one complete as cancelled: the board accepts only those
        // before it.
        if (result == status::Success) ++done.failedPacket, ++done.accepted;
    }
    if (report) *report = done;
    return result;
}

Status SimBoard::transferLocked(std::unique_lock<std::mutex>& lock, DeviceHandle device,
                                std::uint32_t pipeNumber, bool in, std::uint8_t* buffer,
                                std::uint32_t size, std::uint32_t* transferred,
                                std::uint32_t timeoutMs) {
    const std::uint32_t endpoint = in ? (pipeNumber | 0x80) : pipeNumber;
    if (transferred) *transferred = 0;

    Status result = status::Success;
    std::uint32_t limit = 64;
    const long long n = ++transfers_;
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->at != n) continue;
        if (it->unplug) unplugLocked(lock);
        result = it->status;
        limit = it->replyBytes.value_or(limit);
        faults_.erase(it);
        break;
    }
    if (result == status::Success && (!plugged_ || device == 0 || device != handle_))
        result = status::NoDevice;
    if (result == status::Success && buffer == nullptr && size > 0) result = status::InvalidParam;

    Transfer entry{endpoint, in, {}, result, timeoutMs};
    std::uint32_t count = 0;
    if (result == status::Success) {
        if (!in) {
            count = size;
            if (logging_) entry.data.assign(buffer, buffer + size);
            if (endpoint == pipe::CommandOut && size >= 1) {
                std::uint8_t packet[64] = {};
                std::memcpy(packet, buffer, std::min<std::uint32_t>(size, 64));
                command(packet);
            } else if (endpoint == pipe::DataOut) {
                if (size == 1)
                    ++startPackets_;
                else
                    streamedBytes_ += size;
            }
        } else if (endpoint == pipe::CommandIn) {
            count = std::min(size, limit);
            std::memcpy(buffer, reply_.data(), count);
            reply_.fill(0);
        } else if (endpoint == pipe::DataIn) {
            count = std::min(size, limit);
            std::memcpy(buffer, kProbeReply.data(), count);
            ++probeReads_;
        } else {
            result = entry.status = status::Pipe;
        }
        if (result == status::Success && transferred) *transferred = count;
    }
    if (logging_ && logCapacity_ > 0) {
        if (in && result == status::Success) entry.data.assign(buffer, buffer + count);
        if (log_.size() >= logCapacity_) log_.pop_front();
        log_.push_back(std::move(entry));
    }
    return result;
}

void SimBoard::command(const std::uint8_t* p) {
    reply_.fill(0);
    switch (p[0]) {
    case opcode::ReadBurstI2C: {
        const int len = std::min<int>(p[3], 64);
        for (int i = 0; i < len; ++i) {
            const int a = p[2] + i;
            reply_[static_cast<std::size_t>(i)] =
                p[1] != kAfeI2cAddress
                    ? 0xFF
                    : (a < kAfeRegisters ? afe_[static_cast<std::size_t>(a)] : kAfeBeyondMap);
        }
        break;
    }
    case opcode::WriteBurstI2C:
        if (p[1] == kAfeI2cAddress)
            for (int i = 0; i < std::min<int>(p[3], 60); ++i) {
                const int a = p[2] + i;
                if (a > 2 && a < kAfeRegisters) afe_[static_cast<std::size_t>(a)] = p[4 + i];
            }
        break;
    case opcode::ReadByteAfe:
        reply_[0] = p[1] < kAfeRegisters ? afe_[p[1]] : kAfeBeyondMap;
        break;
    case opcode::WriteByteAfe:
        if (p[1] > 2 && p[1] < kAfeRegisters) afe_[p[1]] = p[2];
        break;
    case opcode::SyncSeparatorMode:
        sync_ = p[1];
        break;
    case opcode::MuxChannel:
        mux_ = p[1];
        break;
    case opcode::ReadByteFpga:
        reply_[0] = fpga_[p[1]];
        break;
    case opcode::WriteByteFpga:
        fpga_[p[1]] = p[2];
        break;
    case opcode::WritePortA:
        portA_ = p[1];
        break;
    case opcode::WritePortB:
        portB_ = p[1];
        break;
    case opcode::WritePortE:
        portE_ = p[1];
        break;
    case opcode::WriteEeprom:
        eeprom_[p[2]] = p[3];
        break;
    default:
        break;
    }
}

void SimBoard::failTransfer(int n, Status s) {
    std::lock_guard lock(m_);
    faults_.push_back({transfers_ + n, s, false, {}});
}
void SimBoard::unplugAtTransfer(int n) {
    std::lock_guard lock(m_);
    faults_.push_back({transfers_ + n, status::NoDevice, true, {}});
}
void SimBoard::shortReplyAtTransfer(int n, std::uint32_t bytes) {
    std::lock_guard lock(m_);
    faults_.push_back({transfers_ + n, status::Success, false, bytes});
}
void SimBoard::clearFaults() {
    std::lock_guard lock(m_);
    faults_.clear();
}

std::vector<SimBoard::Transfer> SimBoard::log() const {
    std::lock_guard lock(m_);
    return {log_.begin(), log_.end()};
}
void SimBoard::clearLog() {
    std::lock_guard lock(m_);
    log_.clear();
}
void SimBoard::setLogging(bool on, std::size_t capacity) {
    std::lock_guard lock(m_);
    logging_ = on;
    logCapacity_ = capacity;
    while (log_.size() > capacity)
        log_.pop_front();
}
std::vector<std::vector<std::uint8_t>> SimBoard::commandPackets() const {
    std::lock_guard lock(m_);
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& t : log_)
        if (!t.in && t.pipe == pipe::CommandOut && t.status == status::Success)
            out.push_back(t.data);
    return out;
}
std::uint8_t SimBoard::afe(int a) const {
    std::lock_guard lock(m_);
    return a >= 0 && a < kAfeRegisters ? afe_[static_cast<std::size_t>(a)] : kAfeBeyondMap;
}
void SimBoard::setAfe(int a, std::uint8_t v) {
    std::lock_guard lock(m_);
    if (a >= 0 && a < kAfeRegisters) afe_[static_cast<std::size_t>(a)] = v;
}
std::uint8_t SimBoard::fpga(int a) const {
    std::lock_guard lock(m_);
    return fpga_[static_cast<std::size_t>(a & 0xFF)];
}
void SimBoard::setFpga(int a, std::uint8_t v) {
    std::lock_guard lock(m_);
    fpga_[static_cast<std::size_t>(a & 0xFF)] = v;
}
std::optional<std::uint8_t> SimBoard::muxChannel() const {
    std::lock_guard lock(m_);
    return mux_;
}
std::optional<std::uint8_t> SimBoard::syncMode() const {
    std::lock_guard lock(m_);
    return sync_;
}
std::uint8_t SimBoard::port(char name) const {
    std::lock_guard lock(m_);
    return name == 'A' ? portA_ : name == 'B' ? portB_ : portE_;
}
std::uint8_t SimBoard::eeprom(int a) const {
    std::lock_guard lock(m_);
    return eeprom_[static_cast<std::size_t>(a & 0xFF)];
}
void SimBoard::setEeprom(int a, std::uint8_t v) {
    std::lock_guard lock(m_);
    eeprom_[static_cast<std::size_t>(a & 0xFF)] = v;
}
int SimBoard::startPackets() const {
    std::lock_guard lock(m_);
    return startPackets_;
}
std::vector<std::uint8_t> SimBoard::streamed() const {
    std::lock_guard lock(m_);
    std::vector<std::uint8_t> out;
    for (const auto& t : log_)
        if (t.pipe == pipe::DataOut && t.status == status::Success && t.data.size() != 1)
            out.insert(out.end(), t.data.begin(), t.data.end());
    return out;
}
std::uint64_t SimBoard::streamedBytes() const {
    std::lock_guard lock(m_);
    return streamedBytes_;
}
int SimBoard::probeReads() const {
    std::lock_guard lock(m_);
    return probeReads_;
}

} // namespace korva
