// The command exchange: one 64-byte command packet out on pipe 0x02, one 64-byte reply
// in on pipe 0x82, preceded by the validity check, with three ways of treating failure.
#pragma once

#include "usb_layer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korva {

using Packet = std::array<std::uint8_t, kPacketSize>;

enum class CheckStyle {
    ReportedWithStatus, // check fails: ErrMsg 0; transfer fails: ErrMsg with its status
    ReportedAsNotFound, // any failure: ErrMsg 0
    NotReported,        // failures ignored; the reply is used as the buffer then holds it
};

// What a reported failure was, beyond its code: the operation, the status of the step that
// failed, and why, so that the error box can say more than "Unknown Error.".
struct LinkFailure {
    std::string operation;           // "WriteByte_AFE (register 0x06, value 0x80)"
    Status status = status::Success; // the failed transfer's status (Io for a short reply)
    std::string reason; // "reading the reply: LIBUSB_ERROR_TIMEOUT: Operation timed out"
};
// "<operation>: <reason>", one line for a message.
std::string Describe(const LinkFailure& failure);

// Where a reported failure goes. In the program it shows the error box and ends the
// process; tests record the code. A sink that wants the detail asks the link for its
// lastFailure() while it handles the code.
class ErrorSink {
  public:
    virtual ~ErrorSink() = default;
    virtual void errMsg(std::int16_t code) = 0;
};

// The diagnostic trace: texts of the device link that nothing in the program reads.
// The program routes them to a logging category; by default they go nowhere.
void TraceMsg(std::string_view text);
void SetTraceHandler(std::function<void(std::string_view)> handler);

// The layer's text for a status, cut at its first NUL character.
std::string Stat2Str(UsbLayer& layer, Status s);

// Copies the pipe table of an alternate setting. False (and a trace) when it has none.
bool GetPipes(const AlternateSettingInfo& alternate, std::vector<PipeInfo>& pipes);

// The code ErrMsg gets for a failed transfer: never 0 for a failure.
std::int16_t ErrorCodeForStatus(Status s);

// The shared record of the general pipe transfers.
struct PipeTransferRecord {
    std::uint32_t pipeNumber = 0;
    std::vector<std::uint8_t> buffer;
    std::uint32_t bufferSize = 0;
    std::uint32_t transferred = 0;
    std::array<std::uint8_t, 8> setup{};
    std::uint32_t alternateSetting = 0;
};

struct ExchangeResult {
    Packet reply{};
    bool ok = false; // every step succeeded and the reply was long enough
};

// How an operation uses its exchange: how many reply bytes it reads (a shorter reply is a
// failed exchange, treated in the operation's checking style) and how an error message
// names it.
struct ExchangeUse {
    std::uint32_t replyBytes = 0;
    // How a failure message names the operation: its name and up to three arguments, put
    // together only when it fails, so that an exchange that succeeds allocates nothing.
    // An argument named "bytes" reads "64 bytes"; the others "register 0x06".
    struct Argument {
        const char* name = nullptr; // null: not named
        int value = 0;
    };
    const char* operation = nullptr;
    std::array<Argument, 3> arguments{};
    // "WriteByte_AFE (register 0x06, value 0x80)"; empty without an operation.
    std::string describe() const;
};

// What kind of user action a run of exchanges belongs to, for the observers that treat
// them apart (the window's undo history takes back register writes and no others).
enum class ActionKind {
    Registers, // AFE registers written from the register boxes or a dump file
    ModeSetup, // the mode dialog's OK
    Fpga,      // FPGA registers: the grid, the DE generator, the converter
    Debug,     // the debug controls: ports, multiplexer, sync separator, burst, EEPROM
    History,   // an undo or a redo itself
};

// A user action: the exchanges from its beginning to its end are made for it.
struct UserAction {
    std::string text; // "Red Gain (0x06) stepped up", as the write log shows it
    ActionKind kind = ActionKind::Registers;
    std::string step; // its name as a step to undo ("Red Gain 0x80"); empty: the text
};

// Told of each command packet that went out on the command pipe, with the result of its
// exchange (the window's write log listens here). Called on the thread of the exchange,
// after it, even when its reply failed. Also told where user actions begin and end.
class ExchangeObserver {
  public:
    virtual ~ExchangeObserver() = default;
    virtual void exchanged(const Packet& command, const ExchangeResult& result) = 0;
    virtual void actionBegun(const UserAction&) {}
    virtual void actionEnded() {}
};

// Several observers on one link, told in the order they were added.
class ExchangeObservers : public ExchangeObserver {
  public:
    void add(ExchangeObserver* observer) { observers_.push_back(observer); }
    void exchanged(const Packet& command, const ExchangeResult& result) override {
        for (ExchangeObserver* o : observers_)
            o->exchanged(command, result);
    }
    void actionBegun(const UserAction& action) override {
        for (ExchangeObserver* o : observers_)
            o->actionBegun(action);
    }
    void actionEnded() override {
        for (ExchangeObserver* o : observers_)
            o->actionEnded();
    }

  private:
    std::vector<ExchangeObserver*> observers_;
};

class CommandLink {
  public:
    CommandLink(UsbLayer& layer, DeviceContext& context, ErrorSink& sink)
        : layer_(layer), context_(context), sink_(sink) {}

    // One exchange. `bytes` are packet bytes 0.. (opcode first); the rest of the 64 are 0.
    // With clearBeforeRead the buffer is zeroed between the write and the read.
    ExchangeResult ExchangeCommand(std::initializer_list<std::uint8_t> bytes, CheckStyle style,
                                   bool clearBeforeRead = false, const ExchangeUse& use = {});
    ExchangeResult ExchangeCommand(const Packet& packet, CheckStyle style,
                                   bool clearBeforeRead = false, const ExchangeUse& use = {});

    // Reports a failure: from here on the link refuses every exchange (nothing more is
    // sent), then the sink is told. In the program the sink does not return.
    // Without a LinkFailure the report carries no detail (lastFailure() is empty).
    void ErrMsg(std::int16_t code);
    void ErrMsg(std::int16_t code, LinkFailure failure);
    bool halted() const { return halted_; }
    // The detail of the report being made (or last made); empty for a board that was not
    // there at all and for reports made without detail.
    const std::optional<LinkFailure>& lastFailure() const { return lastFailure_; }

    // The validity check on the current handle; the status of WDU_GetDeviceInfo.
    Status CheckDevice(DeviceInfo* info = nullptr);
    // A bulk transfer on the current handle, refused once the link has halted.
    Status Bulk(std::uint32_t pipe, bool read, std::uint8_t* buffer, std::uint32_t size);
    // Bytes written in packets of packetSize on the current handle (UsbLayer::streamBulk),
    // refused once the link has halted. `report`: the first packet that failed and how
    // many packets the board accepted in all.
    Status Stream(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t size,
                  std::uint32_t packetSize, StreamReport* report = nullptr);

    // General transfers on any pipe (trace only, nothing reported).
    void WritePipe(PipeTransferRecord& record);
    void ReadPipe(PipeTransferRecord& record);

    UsbLayer& layer() { return layer_; }
    DeviceContext& context() { return context_; }
    // One observer at most; null for none.
    void setObserver(ExchangeObserver* observer) { observer_ = observer; }
    // The exchanges from here to endAction() belong to `action`, which must live until then
    // (observers may keep a reference to it meanwhile). Actions do not nest: one begun inside
    // another is part of the outer one, and only the outer one is told.
    void beginAction(const UserAction& action);
    void endAction();
    // Runs before each exchange, and before each write on a pipe, starts: a front end that
    // is being stopped (a signal) throws from it, so that nothing more goes out and no
    // exchange is left half done. Empty for none.
    void setGuard(std::function<void()> guard) { guard_ = std::move(guard); }

  private:
    ExchangeResult exchange(const Packet& packet, CheckStyle style, bool clearBeforeRead,
                            const ExchangeUse& use, bool& sent);
    void pipeTransfer(PipeTransferRecord& record, bool read);
    void fail(CheckStyle style, LinkFailure failure);

    UsbLayer& layer_;
    DeviceContext& context_;
    ErrorSink& sink_;
    bool halted_ = false;
    std::optional<LinkFailure> lastFailure_;
    ExchangeObserver* observer_ = nullptr;
    int actionDepth_ = 0;
    std::function<void()> guard_;
};

// A user action on the link for as long as it lives; it holds the action meanwhile.
class ActionScope {
  public:
    ActionScope(CommandLink& link, UserAction action) : link_(link), action_(std::move(action)) {
        link_.beginAction(action_);
    }
    ~ActionScope() { link_.endAction(); }
    ActionScope(const ActionScope&) = delete;
    ActionScope& operator=(const ActionScope&) = delete;

  private:
    CommandLink& link_;
    const UserAction action_;
};

} // namespace korva

namespace korva {

// The attach and detach routines the USB layer calls (from its own thread).
// Attach stores the handle and accepts the board (selecting the alternate setting first
// when it is not 0); detach clears the stored handle when it is the one leaving.
bool DeviceAttach(UsbLayer& layer, DeviceHandle device, DeviceContext& context);
void DeviceDetach(DeviceHandle device, DeviceContext& context);
// The event table for init: attach and detach bound to this layer, context as user data.
EventTable MakeEventTable(UsbLayer& layer, DeviceContext& context);

} // namespace korva
