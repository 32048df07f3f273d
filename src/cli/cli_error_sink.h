// Where the link reports a failure in the command-line tool. The window's sink ends the
// process; this one only records the failure, so that the command ends on its own with
// exit status 2 and one line saying what failed.
#pragma once

#include "device/exchange.h"

#include <cstdint>
#include <string>

namespace korva::cli {

class CliErrorSink : public ErrorSink {
  public:
    void errMsg(std::int16_t code) override {
        failed_ = true;
        code_ = code;
    }
    bool failed() const { return failed_; }
    // For code 0 that the board is not there; else the USB status the code stands for
    // ("LIBUSB_ERROR_TIMEOUT: Operation timed out").
    std::string message() const {
        if (code_ == 0) return "the board is not there (not connected, or it was unplugged)";
        const auto s = static_cast<Status>(static_cast<std::int32_t>(code_));
        return "a USB transfer failed (" + statusName(s) + ": " + statusDescription(s) + ")";
    }

  private:
    bool failed_ = false;
    std::int16_t code_ = 0;
};

} // namespace korva::cli
