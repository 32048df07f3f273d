#include "exchange.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace korva {
namespace {

std::mutex& traceMutex() {
    static std::mutex m;
    return m;
}
std::function<void(std::string_view)>& traceHandler() {
    static std::function<void(std::string_view)> h;
    return h;
}

std::string hex32(Status s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", s);
    return buf;
}

} // namespace

void TraceMsg(std::string_view text) {
    std::lock_guard lock(traceMutex());
    if (traceHandler()) traceHandler()(text);
}

void SetTraceHandler(std::function<void(std::string_view)> handler) {
    std::lock_guard lock(traceMutex());
    traceHandler() = std::move(handler);
}

std::string Stat2Str(UsbLayer& layer, Status s) {
    std::string text = layer.stat2Str(s);
    if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

bool GetPipes(const AlternateSettingInfo& alternate, std::vector<PipeInfo>& pipes) {
    if (alternate.numEndpoints == 0 || alternate.pipes == nullptr) {
        TraceMsg(
            "  No pipes are defined for this device \r\nother than the default pipe (number 0)");
        return false;
    }
    pipes.assign(alternate.pipes, alternate.pipes + alternate.numEndpoints);
    return true;
}

std::int16_t ErrorCodeForStatus(Status s) {
    if (s == status::Success) return 0;
    auto code = static_cast<std::int16_t>(s & 0xFFFF);
    return code != 0 ? code : std::int16_t{1};
}

std::string ExchangeUse::describe() const {
    if (!operation) return {};
    std::string text = std::string(operation) + " (";
    const char* separator = "";
    for (const Argument& a : arguments) {
        if (!a.name) continue;
        char part[64];
        if (std::strcmp(a.name, "bytes") == 0)
            std::snprintf(part, sizeof part, "%s%d bytes", separator, a.value);
        else
            std::snprintf(part, sizeof part, "%s%s 0x%02X", separator, a.name,
                          static_cast<unsigned>(a.value) & 0xFFu);
        text += part;
        separator = ", ";
    }
    // An operation without named arguments is its name alone.
    return *separator ? text + ")" : std::string(operation);
}

std::string Describe(const LinkFailure& failure) {
    return failure.operation.empty() ? failure.reason : failure.operation + ": " + failure.reason;
}

void CommandLink::ErrMsg(std::int16_t code) {
    lastFailure_.reset();
    halted_ = true;
    sink_.errMsg(code);
}

void CommandLink::ErrMsg(std::int16_t code, LinkFailure failure) {
    lastFailure_ = std::move(failure);
    halted_ = true;
    sink_.errMsg(code);
}

Status CommandLink::CheckDevice(DeviceInfo* info) {
    DeviceInfo scratch;
    return layer_.getDeviceInfo(context_.handle.load(), info ? info : &scratch);
}

Status CommandLink::Bulk(std::uint32_t pipe, bool read, std::uint8_t* buffer, std::uint32_t size) {
    if (halted_) return status::Interrupted;
    if (guard_ && !read) guard_();
    std::uint32_t transferred = 0;
    return layer_.transferBulk(context_.handle.load(), pipe, read ? kReadFlag : 0, 0, buffer, size,
                               &transferred, kTransferTimeoutMs);
}

Status CommandLink::Stream(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t size,
                           std::uint32_t packetSize, StreamReport* report) {
    if (report) *report = {};
    if (halted_) return status::Interrupted;
    return layer_.streamBulk(context_.handle.load(), pipe, data, size, packetSize, report,
                             kTransferTimeoutMs, nullptr);
}

void CommandLink::fail(CheckStyle style, LinkFailure failure) {
    switch (style) {
    case CheckStyle::ReportedWithStatus: {
        const std::int16_t code = ErrorCodeForStatus(failure.status);
        ErrMsg(code, std::move(failure));
        break;
    }
    case CheckStyle::ReportedAsNotFound:
        ErrMsg(0, std::move(failure));
        break;
    case CheckStyle::NotReported:
        break;
    }
}

ExchangeResult CommandLink::ExchangeCommand(std::initializer_list<std::uint8_t> bytes,
                                            CheckStyle style, bool clearBeforeRead,
                                            const ExchangeUse& use) {
    Packet packet{};
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), kPacketSize), packet.begin());
    return ExchangeCommand(packet, style, clearBeforeRead, use);
}

ExchangeResult CommandLink::ExchangeCommand(const Packet& packet, CheckStyle style,
                                            bool clearBeforeRead, const ExchangeUse& use) {
    if (guard_) guard_();
    bool sent = false;
    ExchangeResult result = exchange(packet, style, clearBeforeRead, use, sent);
    if (sent && observer_) observer_->exchanged(packet, result);
    return result;
}

void CommandLink::beginAction(const UserAction& action) {
    if (actionDepth_++ == 0 && observer_) observer_->actionBegun(action);
}

void CommandLink::endAction() {
    if (actionDepth_ > 0 && --actionDepth_ == 0 && observer_) observer_->actionEnded();
}

ExchangeResult CommandLink::exchange(const Packet& packet, CheckStyle style, bool clearBeforeRead,
                                     const ExchangeUse& use, bool& sent) {
    ExchangeResult result;
    if (halted_) return result; // the program is ending: nothing more goes out

    // All three calls use one copy of the handle, read once.
    const DeviceHandle handle = context_.handle.load();
    const bool reporting = style != CheckStyle::NotReported;
    bool ok = true;

    DeviceInfo info;
    Status s = layer_.getDeviceInfo(handle, &info);
    if (s != status::Success) {
        ok = false;
        if (reporting) {
            ErrMsg(0);
            return result;
        }
    }

    result.reply = packet;
    std::uint32_t transferred = 0;
    s = layer_.transferBulk(handle, pipe::CommandOut, 0, 0, result.reply.data(), kPacketSize,
                            &transferred, kTransferTimeoutMs);
    if (s != status::Success) {
        ok = false;
        if (reporting) {
            fail(style, {use.describe(), s, "sending the command: " + Stat2Str(layer_, s)});
            return result;
        }
    } else {
        sent = true;
    }

    if (clearBeforeRead) result.reply.fill(0);

    transferred = 0;
    s = layer_.transferBulk(handle, pipe::CommandIn, kReadFlag, 0, result.reply.data(), kPacketSize,
                            &transferred, kTransferTimeoutMs);
    if (s != status::Success) {
        ok = false;
        if (reporting) {
            fail(style, {use.describe(), s, "reading the reply: " + Stat2Str(layer_, s)});
            return result;
        }
    } else if (transferred < use.replyBytes) {
        // The rest of the buffer still holds the command (or zeros): it is no reply.
        ok = false;
        if (reporting) {
            fail(style, {use.describe(), status::Io,
                         "short reply: the board answered with " + std::to_string(transferred) +
                             " bytes; the operation reads " + std::to_string(use.replyBytes)});
            return result;
        }
    }
    result.ok = ok;
    return result;
}

void CommandLink::pipeTransfer(PipeTransferRecord& record, bool read) {
    const char* name = read ? "ReadPipe" : "WritePipe";
    const char* failed = read ? "Read Pipe failed" : "Write Pipe failed";
    if (halted_) return;
    if (guard_ && !read) guard_();
    const DeviceHandle handle = context_.handle.load();
    DeviceInfo info;
    Status s = layer_.getDeviceInfo(handle, &info);
    if (s != status::Success) {
        TraceMsg(std::string(name) + ": WDU_GetDeviceInfo() failed:\r\nerror &H" + hex32(s) + " (" +
                 Stat2Str(layer_, s) + ")\r\n");
        return;
    }
    record.alternateSetting = 0;
    std::vector<PipeInfo> pipes;
    if (!GetPipes(info.activeAlternate, pipes)) {
        TraceMsg(failed);
        return;
    }
    if (record.buffer.size() < record.bufferSize) record.buffer.resize(record.bufferSize);
    std::uint8_t* data = record.bufferSize > 0 ? record.buffer.data() : nullptr;
    s = layer_.transfer(handle, record.pipeNumber, read ? 1 : 0, 0, data, record.bufferSize,
                        &record.transferred, record.setup.data(), kTransferTimeoutMs);
    if (s != status::Success) {
        TraceMsg(std::string(name) + ": WDU_Transfer() failed: error &H" + hex32(s) + " (" +
                 Stat2Str(layer_, s) + ")");
        TraceMsg(failed);
    }
}

void CommandLink::WritePipe(PipeTransferRecord& record) {
    pipeTransfer(record, false);
}
void CommandLink::ReadPipe(PipeTransferRecord& record) {
    pipeTransfer(record, true);
}

} // namespace korva

namespace korva {

bool DeviceAttach(UsbLayer& layer, DeviceHandle device, DeviceContext& context) {
    context.handle.store(device);
    const std::uint32_t alternate = context.alternateSetting.load();
    if (alternate == 0) return true;
    const std::uint32_t iface = context.interfaceNumber.load();
    const Status s = layer.setInterface(device, iface, alternate);
    context.lastInterfaceStatus.store(s);
    if (s == status::Success) return true;
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "DeviceAttach: WDU_SetInterface failed (num. %u, alternate %u) device 0x%X: "
                  "error 0x%X (%s)",
                  iface, alternate, device, s, Stat2Str(layer, s).c_str());
    TraceMsg(buf);
    context.handle.store(0);
    TraceMsg("DeviceAttach: Rejecting control of the device");
    return false;
}

void DeviceDetach(DeviceHandle device, DeviceContext& context) {
    DeviceHandle expected = device;
    context.handle.compare_exchange_strong(expected, 0);
}

EventTable MakeEventTable(UsbLayer& layer, DeviceContext& context) {
    EventTable table;
    table.userData = &context;
    table.attach = [&layer](DeviceHandle h, void* user) {
        return DeviceAttach(layer, h, *static_cast<DeviceContext*>(user));
    };
    table.detach = [](DeviceHandle h, void* user) {
        DeviceDetach(h, *static_cast<DeviceContext*>(user));
    };
    return table;
}

} // namespace korva
