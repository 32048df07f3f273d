// `korva726ctl run`: the lines of a script, read from a file or standard input, split into
// words as a shell splits them, and carried out one after the other by one parser on the
// same board.
#pragma once

#include "commands.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korva::cli {

// The longest script line taken; a real one is a few dozen characters.
constexpr std::size_t kMaxScriptLine = 64 * 1024;

// Lines from a file descriptor, read a block at a time: a line is never held beyond
// kMaxScriptLine bytes, and a stop signal ends a wait for more input at once. Before it
// waits, what the program printed so far goes out, so that a program that feeds lines
// through a pipe sees each answer before it sends the next line.
class LineReader {
  public:
    explicit LineReader(int fd);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    enum class Got { Line, End, TooLong };
    // The next line, without its LF; a last line without one counts. TooLong when the line
    // runs past kMaxScriptLine bytes (it is not read further). Throws Stopped on a stop
    // signal and CommandError (2) when reading fails.
    Got next(std::string& line);

  private:
    bool fill(); // false at the end of the input

    int fd_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0, end_ = 0; // the bytes not yet handed out
    bool ended_ = false;
};

// The words of a script line as a shell splits them: blanks and tabs part words; '...'
// takes everything inside as it is; "..." the same, but for \" and \\; a backslash
// outside quotes takes the next character as it is; a '#' that begins a word outside
// quotes begins a comment. Nothing (and the reason in `problem`) when a quote is not
// closed.
std::optional<std::vector<std::string>> SplitScriptLine(std::string_view line,
                                                        std::string* problem = nullptr);

// Carries out the lines of a script: blank and comment lines are skipped, a UTF-8
// byte-order mark before the first line and CR before a line's LF are left out. A line
// that holds another control character than tab, or that is too long, is refused before
// anything of it is done. The first line that fails stops the script with its exit status
// and a message that names the line.
void RunScript(LineReader& in, Session& session, const GlobalOptions& options);

} // namespace korva::cli
