#include "stop.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace korva::cli {
namespace {

std::atomic<int> stopSignal{0};
// The self-pipe: the handler writes a byte, a wait for input polls the reading end.
int wakePipe[2] = {-1, -1};

extern "C" void onStopSignal(int signal) {
    const int saved = errno;
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
    if (wakePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakePipe[1], &byte, 1);
    }
    errno = saved;
}

} // namespace

void InstallStopSignals() {
    if (wakePipe[0] < 0 && ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        wakePipe[0] = wakePipe[1] = -1; // no wake-up: a blocked read still returns EINTR
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART
    for (const int s : {SIGINT, SIGTERM})
        sigaction(s, &action, nullptr);
}

int StopSignal() {
    return stopSignal.load(std::memory_order_relaxed);
}

int StopWakeFd() {
    return wakePipe[0];
}

void ThrowIfStopped() {
    if (StopSignal() != 0) throw Stopped();
}

std::string StoppedText(const Stopped& stopped) {
    const int s = StopSignal();
    std::string text =
        std::string("stopped by ") + (s == SIGINT    ? "SIGINT"
                                      : s == SIGTERM ? "SIGTERM"
                                                     : "signal " + std::to_string(s));
    if (*stopped.what()) text += std::string(" ") + stopped.what();
    return text;
}

} // namespace korva::cli
