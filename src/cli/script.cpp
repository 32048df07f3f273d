#include "script.h"

#include "stop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace korva::cli {
namespace {

// How much is read at a time beyond the longest line kept.
constexpr std::size_t kReadBlock = 64 * 1024;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The first byte of a line that is a control character other than tab, if any.
std::size_t controlCharacter(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return i;
    }
    return std::string_view::npos;
}

} // namespace

LineReader::LineReader(int fd) : fd_(fd), buffer_(kMaxScriptLine + 1 + kReadBlock) {}

bool LineReader::fill() {
    std::fflush(stdout);
    for (;;) {
        ThrowIfStopped();
        pollfd fds[2] = {{fd_, POLLIN, 0}, {StopWakeFd(), POLLIN, 0}};
        if (::poll(fds, fds[1].fd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR)
            throw CommandError(kFailure,
                               std::string("reading the script: ") + std::strerror(errno));
        ThrowIfStopped();
        const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (got > 0) {
            end_ += static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0) return false;
        if (errno != EINTR && errno != EAGAIN)
            throw CommandError(kFailure,
                               std::string("reading the script: ") + std::strerror(errno));
    }
}

LineReader::Got LineReader::next(std::string& line) {
    for (;;) {
        const char* from = buffer_.data() + begin_;
        const auto* lf = static_cast<const char*>(std::memchr(from, '\n', end_ - begin_));
        if (static_cast<std::size_t>((lf ? lf : buffer_.data() + end_) - from) > kMaxScriptLine)
            return Got::TooLong;
        if (lf) {
            line.assign(from, lf);
            begin_ = static_cast<std::size_t>(lf - buffer_.data()) + 1;
            return Got::Line;
        }
        if (ended_) {
            if (begin_ == end_) return Got::End;
            line.assign(from, end_ - begin_);
            begin_ = end_;
            return Got::Line;
        }
        std::memmove(buffer_.data(), from, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        if (!fill()) ended_ = true;
    }
}

std::optional<std::vector<std::string>> SplitScriptLine(std::string_view line,
                                                        std::string* problem) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        if (c == '#' && !inWord) break;
        inWord = true;
        if (c == '\'' || c == '"') {
            std::size_t j = i + 1;
            for (; j < line.size() && line[j] != c; ++j) {
                if (c == '"' && line[j] == '\\' && j + 1 < line.size() &&
                    (line[j + 1] == '"' || line[j + 1] == '\\'))
                    ++j;
                word += line[j];
            }
            if (j == line.size()) {
                if (problem) *problem = std::string("the quote ") + c + " is not closed";
                return std::nullopt;
            }
            i = j;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

void RunScript(LineReader& in, Session& session, const GlobalOptions& options) {
    // One parser for the whole script: each line resets the options and parses afresh.
    CLI::App app("", "korva726ctl");
    Commands commands(session, options, true);
    commands.addTo(app, false);
    std::string line, problem;
    for (int number = 1;; ++number) {
        const LineReader::Got got = in.next(line);
        if (got == LineReader::Got::End) return;
        const auto where = [number] { return "line " + std::to_string(number) + ": "; };
        if (got == LineReader::Got::TooLong)
            throw CommandError(kUsage, where() + "longer than " + std::to_string(kMaxScriptLine) +
                                           " bytes; nothing of it was done");
        std::string_view text = line;
        if (number == 1 && text.starts_with(kByteOrderMark)) text.remove_prefix(3);
        if (text.ends_with('\r')) text.remove_suffix(1);
        if (const std::size_t at = controlCharacter(text); at != std::string_view::npos)
            throw CommandError(kUsage, where() + "byte " + Escaped(text.substr(at, 1)) +
                                           " at column " + std::to_string(at + 1) +
                                           " is a control character; nothing of the line "
                                           "was done");
        auto words = SplitScriptLine(text, &problem);
        if (!words) throw CommandError(kUsage, where() + problem);
        if (words->empty()) continue;
        try {
            ThrowIfStopped();
            std::reverse(words->begin(), words->end()); // CLI11 takes the words last first
            commands.reset();
            try {
                app.parse(*words);
            } catch (const CLI::CallForHelp& e) {
                app.exit(e, options.json ? std::cerr : std::cout, std::cerr);
                continue;
            } catch (const CLI::ParseError& e) {
                throw CommandError(kUsage, UsageErrorText(app, e));
            }
            commands.run();
        } catch (const CommandError& e) {
            throw CommandError(e.status, where() + e.what());
        } catch (const Stopped& e) {
            throw Stopped("at line " + std::to_string(number) + (*e.what() ? ", " : "") + e.what());
        }
    }
}

} // namespace korva::cli
