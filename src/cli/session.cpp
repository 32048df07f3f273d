#include "session.h"

#include "device/sim_board.h"
#include "video/ini_reader.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>

namespace korva::cli {
namespace {

// A USB identifier from Config.ini: hexadecimal 0..FFFF, "0x" allowed in front.
std::optional<std::uint16_t> usbId(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    unsigned v = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || v > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

} // namespace

Session::~Session() {
    if (driver_ != 0) layer_->uninit(driver_);
    if (layer_) layer_->onNotice = nullptr;
}

void Session::readConfig() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return;
    const std::string ini = (exe.parent_path() / "Config.ini").string();
    const std::string test = ReadProfileString(ini, "Flags", "Test");
    hiddenModes_ = test == "1" || test == "True";
    struct Key {
        const char* name;
        std::uint16_t& id;
    } keys[] = {{"VendorID", match_.vendorId}, {"ProductID", match_.productId}};
    for (const Key& k : keys) {
        const std::string text = ReadProfileString(ini, "USB", k.name);
        if (text.empty()) continue;
        if (const auto id = usbId(text))
            k.id = *id;
        else
            std::fprintf(stderr,
                         "korva726ctl: %s: [USB] %s \"%s\" is not a hexadecimal number "
                         "0..FFFF; using %04X\n",
                         ini.c_str(), k.name, text.c_str(), k.id);
    }
}

void Session::start() {
    readConfig();
    if (options_.simulate && !options_.device.empty())
        throw CommandError(kUsage, "--device chooses a USB board; it cannot go with --simulate");
    if (options_.simulate) {
        base_ = std::make_unique<SimBoard>();
    } else {
        auto usb = std::make_unique<LibusbLayer>();
        usb_ = usb.get();
        base_ = std::move(usb);
    }
    layer_ = base_.get();
    if (!options_.capture.empty()) {
        try {
            capture_ = std::make_unique<CaptureLayer>(*base_, options_.capture);
        } catch (const std::exception& e) {
            throw CommandError(kFailure, e.what());
        }
        layer_ = capture_.get();
    }
    layer_->onNotice = [this](const std::string& text) { notice_ = text; };
}

void Session::chooseUsbBoard() {
    const UsbBoardList list = ListUsbBoards(match_);
    if (!list.error.empty())
        throw CommandError(kFailure, "no KORVA726EVAL board can be reached: " + list.error);
    const std::optional<std::string> id =
        options_.device.empty() ? std::nullopt : std::optional(options_.device);
    const UsbBoardChoice choice = ChooseUsbBoard(list.boards, id, match_);
    if (!choice.index) throw CommandError(kFailure, choice.error);
    const UsbBoard& chosen = list.boards[*choice.index];
    if (!chosen.accessible) throw CommandError(kFailure, LibusbLayer::permissionNotice(match_));
    usb_->openOnly(chosen.bus, chosen.address);
}

Board& Session::board() {
    if (board_) return *board_;
    if (usb_) chooseUsbBoard();
    const Status s = layer_->init(&driver_, match_, MakeEventTable(*layer_, context_));
    if (s != status::Success)
        throw CommandError(kFailure, "USB cannot be used: " + Stat2Str(*layer_, s));
    if (context_.handle.load() == 0)
        throw CommandError(kFailure, notice_.empty() ? "the board could not be opened" : notice_);
    link_ = std::make_unique<CommandLink>(*layer_, context_, sink_);
    board_ = std::make_unique<Board>(*link_);
    return *board_;
}

void Session::check(const std::string& what) const {
    if (sink_.failed()) throw CommandError(kFailure, what + ": " + sink_.message());
}

} // namespace korva::cli
