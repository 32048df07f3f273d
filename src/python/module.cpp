// korva726._core: the board operations of the core for Python. The public names are
// re-exported by the package korva726; the exceptions, named tuples and RegisterDump it
// returns are made in korva726._types.
#include "py_board.h"

#include "afe/afe_ops.h"
#include "afe/dump_file.h"
#include "device/sim_board.h"
#include "device/textnum.h"
#include "fpga/fpga_ops.h"
#include "tools/download.h"
#include "video/mode_setup.h"
#include "video/mode_table.h"

#include <pybind11/stl.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <optional>

namespace korva::python {
namespace {

std::string hex(long v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02lx", v);
    return text;
}

// A whole number in low..high, else ValueError (TypeError for what is no integer), as
// korva726ctl refuses it: before anything is sent.
int number(py::handle value, const char* what, long low, long high, bool inHex = true) {
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < low || v > high)
        throw py::value_error(std::string(what) + " " + py::repr(index).cast<std::string>() +
                              " is outside " +
                              (inHex ? hex(low) + ".." + hex(high)
                                     : std::to_string(low) + ".." + std::to_string(high)));
    return static_cast<int>(v);
}

// A file name as the system takes it (str, bytes or os.PathLike).
std::string filePath(py::handle file) {
    const py::object path = py::reinterpret_steal<py::object>(PyOS_FSPath(file.ptr()));
    if (!path) throw py::error_already_set();
    std::string text;
    if (PyUnicode_Check(path.ptr())) {
        const py::object bytes =
            py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
        if (!bytes) throw py::error_already_set();
        text = bytes.cast<std::string>();
    } else {
        text = path.cast<std::string>();
    }
    if (text.find('\0') != std::string::npos)
        throw py::value_error("the file name holds a NUL byte");
    return text;
}

// A count of the mode table: an int when whole, else a float.
py::object count(double v) {
    if (v == static_cast<double>(static_cast<long long>(v)))
        return py::int_(static_cast<long long>(v));
    return py::float_(v);
}

void warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 2) != 0) throw py::error_already_set();
}

// The mode table: mode_table.dat in the working directory, else the module's own copy.
struct LoadedTable {
    std::string path;
    ModeTable table;
};
LoadedTable modeTable() {
    const std::string own = Api("_DATA_FOLDER").cast<std::string>();
    const ModeTableLocation where = FindModeTable("", {own});
    if (where.path.empty()) Raise("Error", where.note);
    LoadedTable t{where.path, ReadModeTable(where.path)};
    for (const std::string& problem : t.table.problems)
        warn(where.path + ": " + problem);
    return t;
}

py::object registerDump(const RegisterValues& values) {
    py::list list;
    for (const std::uint8_t v : values)
        list.append(py::int_(v));
    return Api("RegisterDump").attr("_of")(list);
}

DumpValues dumpValues(py::handle dump) {
    const py::tuple values = dump.attr("_values");
    DumpValues out{};
    for (std::size_t a = 0; a < out.size(); ++a)
        if (!values[a].is_none()) out[a] = values[a].cast<std::uint8_t>();
    return out;
}

// A file that holds `bytes` for as long as the object lives: a memory file, named by its
// /proc path, so that a bitstream given as bytes goes through the file download unchanged.
class MemoryFile {
  public:
    explicit MemoryFile(std::string_view bytes) : fd_(::memfd_create("bitstream", MFD_CLOEXEC)) {
        if (fd_ < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw py::error_already_set();
        }
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                PyErr_SetFromErrno(PyExc_OSError);
                throw py::error_already_set();
            }
            done += static_cast<std::size_t>(n);
        }
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_;
};

// The view of one of the board's chips: it keeps the board alive while in use, and reports
// a closed board once the board is gone.
struct Chip {
    std::weak_ptr<PyBoard> board;
    std::shared_ptr<PyBoard> get() const {
        auto b = board.lock();
        if (!b) Raise("BoardClosed", "the board is closed");
        return b;
    }
};
struct AfeObject : Chip {};
struct FpgaObject : Chip {};
struct SimObject : Chip {
    SimBoard& sim() const {
        SimBoard* s = get()->simulated();
        if (!s) throw py::value_error("not the simulated board");
        return *s;
    }
};

// The board Python holds: the open board and its chips' views.
struct BoardObject {
    std::shared_ptr<PyBoard> board;
    py::object afe, fpga;
};

std::unique_ptr<BoardObject> openBoard(std::optional<std::string> device, bool simulate,
                                       py::object capture) {
    BoardSelection selection;
    selection.simulate = simulate;
    selection.device = device.value_or("");
    // The simulated board takes the identifiers too (its capture shows them), but only a
    // search of USB warns about a bad one, as korva726ctl does.
    selection.match = ReadUsbSettings(!simulate);
    if (!capture.is_none()) selection.capture = filePath(capture);
    auto b = std::make_unique<BoardObject>();
    b->board = std::make_shared<PyBoard>(std::move(selection));
    b->afe = py::cast(AfeObject{{b->board}});
    b->fpga = py::cast(FpgaObject{{b->board}});
    return b;
}

py::object deWindow(const DeWindow& w) {
    return Api("DeWindow")(count(w[0]), count(w[1]), count(w[2]), count(w[3]));
}

// The download, as korva726ctl's: the file streamed on the data pipe. `progress` hears
// how far it has come, with the GIL.
std::uint64_t download(PyBoard& board, py::handle source, py::object progress) {
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be callable: progress(sent, total)");
    std::unique_ptr<MemoryFile> memory;
    std::string path;
    std::string name = "the bitstream"; // in the message of a failed exchange
    if (PyBytes_Check(source.ptr()) || PyByteArray_Check(source.ptr()) ||
        PyMemoryView_Check(source.ptr())) {
        const auto object = py::reinterpret_steal<py::object>(PyBytes_FromObject(source.ptr()));
        if (!object) throw py::error_already_set();
        const py::bytes bytes(object);
        memory = std::make_unique<MemoryFile>(std::string_view(bytes));
        path = memory->path();
    } else {
        // The path object made once: its text names the file in a failure's message.
        const auto fsPath = py::reinterpret_steal<py::object>(PyOS_FSPath(source.ptr()));
        if (!fsPath) throw py::error_already_set();
        path = filePath(fsPath);
        name = py::str(fsPath);
    }
    // After each block of packets, on this thread: the progress callback and any pending
    // signal (Ctrl+C) run with the GIL; either one raising stops the download at that packet
    // boundary, and the exception is raised once the board is free again.
    std::optional<py::error_already_set> raised;
    const auto step = [&](std::uint64_t sent, std::uint64_t total) {
        py::gil_scoped_acquire gil;
        try {
            if (!progress.is_none()) progress(sent, total);
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        } catch (py::error_already_set& e) {
            raised.emplace(std::move(e));
            return false;
        }
        return true;
    };
    const DataPipeResult r = board.run("downloading " + name, [&](BoardConnection& c) {
        return DownloadBitstreamFile(c.link(), path, {}, nullptr, step);
    });
    if (raised) {
        raised->restore();
        throw py::error_already_set();
    }
    if (r.fileMissing) {
        errno = ENOENT;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, source.ptr());
        throw py::error_already_set();
    }
    if (r.outcome == DataPipeResult::Outcome::FileProblem) {
        PyErr_SetString(PyExc_OSError, r.error.c_str());
        throw py::error_already_set();
    }
    return r.dataPackets;
}

const char* const kAfeDoc = R"doc(The AFE's 66 registers (0x00..0x41).

Reads are burst reads; each write is followed by a read-back of the register, as the
window and korva726ctl do. Out-of-range addresses, values and counts raise ValueError
before anything is sent.)doc";

const char* const kFpgaDoc = R"doc(The FPGA's byte registers (0x00..0xff).)doc";

const char* const kBoardDoc = R"doc(An open KORVA726EVAL board (korva726.open() makes one).

Use it in a with block, or call close(): afterwards every use raises BoardClosed. Its
calls may come from several threads; they are carried out one at a time, and never
interleave on the wire. A failed exchange raises TransferError (TransferTimeout for a
time-out, BoardNotFound when the board went away); after one, nothing more is sent on
this board until it is opened again.)doc";

} // namespace
} // namespace korva::python

using namespace korva;
using namespace korva::python;

PYBIND11_MODULE(_core, m) {
    m.doc() = "The compiled part of korva726: the board and its operations.";
    // The folder whose Config.ini is read; the tests point it at one of their own.
    m.attr("_CONFIG_FOLDER") = KORVA_BINDIR;
    // Each docstring begins with its own signature, in Python's terms.
    py::options options;
    options.disable_function_signatures();

    py::class_<AfeObject>(m, "AfeRegisters", kAfeDoc)
        .def(
            "read",
            [](const AfeObject& self, py::handle address) {
                const int a = number(address, "register", 0, kAfeLastAddress);
                return self.get()->run(
                    [a] { return "reading AFE register " + hex(a); },
                    [a](BoardConnection& c) { return ReadAfeRegister(c.board(), a).value_or(0); });
            },
            py::arg("address"),
            "read(address) -> int\n\nOne register, in one burst read of one register.")
        .def(
            "read_block",
            [](const AfeObject& self, py::handle first, py::handle count) {
                const int a = number(first, "register", 0, kAfeLastAddress);
                const int n = number(count, "count", 1,
                                     std::min(kMaxBurstRead, kAfeLastAddress + 1 - a), false);
                const auto values = self.get()->run(
                    [a, n] { return "reading AFE registers " + hex(a) + ".." + hex(a + n - 1); },
                    [a, n](BoardConnection& c) {
                        return ReadAfeRegisters(c.board(), a, n)
                            .value_or(std::vector<std::uint8_t>{});
                    });
                return py::bytes(reinterpret_cast<const char*>(values.data()), values.size());
            },
            py::arg("first"), py::arg("count"),
            R"doc(read_block(first, count) -> bytes

`count` registers (1..64, not past 0x41) from `first`, in one burst read.)doc")
        .def(
            "write",
            [](const AfeObject& self, py::handle address, py::handle value, bool gang,
               bool verify) {
                const int a = number(address, "register", 0, kAfeLastAddress);
                const auto v = static_cast<std::uint8_t>(number(value, "value", 0, 0xFF));
                const Gang group = AfeRegisters()[static_cast<std::size_t>(a)].gang;
                if (gang && group == Gang::None)
                    throw py::value_error("gang=True needs a gain register (0x06..0x08) or an "
                                          "offset register (0x09..0x0b), not " +
                                          hex(a));
                const auto writes = self.get()->run(
                    [a] { return "writing AFE register " + hex(a); },
                    [&](BoardConnection& c) {
                        std::vector<AfeWrite> done;
                        if (gang) {
                            if (const auto w = WriteAfeGanged(c.board(), group, v))
                                done.assign(w->begin(), w->end());
                        } else if (const auto w = WriteAfeRegister(c.board(), a, v)) {
                            done.push_back(*w);
                        }
                        return done;
                    });
                int readBack = 0;
                for (const AfeWrite& w : writes) {
                    if (verify && !w.matches()) {
                        const py::object type = Api("ReadbackMismatch");
                        PyErr_SetObject(type.ptr(), type(w.address, w.written, w.readBack).ptr());
                        throw py::error_already_set();
                    }
                    if (w.address == a) readBack = w.readBack;
                }
                return readBack;
            },
            py::arg("address"), py::arg("value"), py::arg("gang") = false, py::arg("verify") = true,
            R"doc(write(address, value, gang=False, verify=True) -> int

Writes the register and reads it back; returns what it read back. gang=True
writes the whole gain group (0x06..0x08) or offset group (0x09..0x0b) that the
address belongs to, then reads the three back. With verify, a read-back other
than the value raises ReadbackMismatch (after the writes).)doc")
        .def(
            "dump",
            [](const AfeObject& self) {
                const auto values =
                    self.get()->run("reading the AFE registers", [](BoardConnection& c) {
                        return ReadAllAfeRegisters(c.board()).value_or(RegisterValues{});
                    });
                return registerDump(values);
            },
            "dump() -> RegisterDump\n\nAll 66 registers, in two burst reads (64, then 2).")
        .def(
            "load",
            [](const AfeObject& self, py::handle source) {
                const auto board = self.get();
                py::object dump;
                if (py::isinstance(source, Api("RegisterDump")))
                    dump = py::reinterpret_borrow<py::object>(source);
                else
                    dump = Api("RegisterDump").attr("load")(source);
                const DumpValues values = dumpValues(dump);
                const auto written = static_cast<int>(std::count_if(
                    values.begin(), values.end(), [](const auto& v) { return v.has_value(); }));
                board->run("writing the AFE registers", [&values](BoardConnection& c) {
                    return WriteDumpValues(c.board(), values);
                });
                return written;
            },
            py::arg("source"),
            R"doc(load(source) -> int

Writes a register dump (a RegisterDump, or the path of a dump file, checked
whole before anything is written: DumpFileError) into the chip, register by
register in address order, and returns how many registers were written.
Registers without a value are left as they are.)doc");

    py::class_<FpgaObject>(m, "FpgaRegisters", kFpgaDoc)
        .def(
            "read",
            [](const FpgaObject& self, py::handle address) {
                const int a = number(address, "FPGA register", 0, 0xFF);
                const auto v = self.get()->run(
                    [a] { return "reading FPGA register " + hex(a); },
                    [a](BoardConnection& c) { return ReadFpgaRegister(c.board(), a); });
                if (!v)
                    Raise("TransferError",
                          "reading FPGA register " + hex(a) + ": the board did not answer");
                return *v;
            },
            py::arg("address"), "read(address) -> int\n\nOne register.")
        .def(
            "write",
            [](const FpgaObject& self, py::handle address, py::handle value) {
                const int a = number(address, "FPGA register", 0, 0xFF);
                const auto v = static_cast<std::uint8_t>(number(value, "value", 0, 0xFF));
                self.get()->run(
                    [a] { return "writing FPGA register " + hex(a); },
                    [a, v](BoardConnection& c) { return WriteFpgaRegister(c.board(), a, v); });
            },
            py::arg("address"), py::arg("value"), "write(address, value) -> None\n\nOne register.")
        .def(
            "dump",
            [](const FpgaObject& self) {
                const auto values =
                    self.get()->run("reading the FPGA registers", [](BoardConnection& c) {
                        return ReadAllFpgaRegisters(c.board());
                    });
                std::string bytes;
                for (std::size_t a = 0; a < values.size(); ++a) {
                    if (!values[a])
                        Raise("TransferError", "reading FPGA register " +
                                                   hex(static_cast<long>(a)) +
                                                   ": the board did not answer");
                    bytes += static_cast<char>(*values[a]);
                }
                return py::bytes(bytes);
            },
            "dump() -> bytes\n\nRegisters 0x00..0x24, one read each, in address order.");

    py::class_<BoardObject>(m, "Board", kBoardDoc)
        .def_property_readonly(
            "identity", [](const BoardObject& self) { return self.board->identity(); },
            R"doc(What the board is: "simulated board", or "board SERIAL (port 1-2.3)" as the
window's title says.)doc")
        .def_property_readonly(
            "afe",
            [](const BoardObject& self) {
                self.board->checkOpen();
                return self.afe;
            },
            "The AFE's registers (AfeRegisters).")
        .def_property_readonly(
            "fpga",
            [](const BoardObject& self) {
                self.board->checkOpen();
                return self.fpga;
            },
            "The FPGA's registers (FpgaRegisters).")
        .def(
            "modes",
            [](const BoardObject& self) {
                self.board->checkOpen();
                const LoadedTable t = modeTable();
                py::list modes;
                for (const std::string& line : t.table.lines) {
                    const ModeLine mode = *ParseModeLine(line);
                    modes.append(Api("Mode")(mode.name, count(mode.hStart), count(mode.hStop),
                                             count(mode.vStart), count(mode.vStop),
                                             count(mode.pllHtotal)));
                }
                return modes;
            },
            R"doc(modes() -> list[Mode]

The modes of mode_table.dat: the one in the working directory, else the one
shipped with the module. Lines the table cannot use are left out, each with a
warning.)doc")
        .def(
            "apply_mode",
            [](const BoardObject& self, const std::string& name, const std::string& input,
               bool csc) {
                self.board->checkOpen();
                const auto connector = FindConnector(input);
                if (!connector)
                    throw py::value_error("unknown input \"" + input +
                                          "\" (VGA1, VGA2, Component1, Component2 or "
                                          "Composite1)");
                const LoadedTable t = modeTable();
                const std::string* line = FindModeLine(t.table, name);
                if (!line)
                    throw py::value_error("no mode \"" + name + "\" in " + t.path +
                                          " (Board.modes() lists them)");
                std::string problem;
                const auto setup = ModeSettingsFromLine(*line, connector, csc, &problem);
                if (!setup) Raise("Error", t.path + ": mode \"" + name + "\": " + problem);
                self.board->run("setting up the mode", [&setup](BoardConnection& c) {
                    return ApplyModeSetup(c.board(), *setup);
                });
            },
            py::arg("name"), py::arg("input"), py::arg("csc") = false,
            R"doc(apply_mode(name, input, csc=False) -> None

Sets the board up for a mode of modes() and an input connector ("vga1", "vga2",
"component1", "component2", "composite1"; case, blanks, - and _ do not matter),
as the mode dialog's OK and `korva726ctl mode apply` do: DE window, PLL Htotal,
input configuration, multiplexer and sync separator; csc=True switches the
colour space converter as the connector asks (on for component and composite).)doc")
        .def_property(
            "de_window",
            [](const BoardObject& self) {
                const auto w = self.board->run("reading the DE window", [](BoardConnection& c) {
                    return ReadDeWindow(c.board());
                });
                if (!w) Raise("TransferError", "reading the DE window: the board did not answer");
                return deWindow(*w);
            },
            [](const BoardObject& self, py::sequence window) {
                if (window.size() != kDeCounts)
                    throw py::value_error("the DE window has four counts: hstart, hstop, "
                                          "vstart, vstop");
                const char* names[kDeCounts] = {"hstart", "hstop", "vstart", "vstop"};
                DeWindow w{};
                for (std::size_t k = 0; k < w.size(); ++k)
                    w[k] = number(window[k], names[k], 0, 65535, false);
                self.board->run("writing the DE window",
                                [&w](BoardConnection& c) { return WriteDeWindow(c.board(), w); });
            },
            R"doc(The FPGA's data-enable window, DeWindow(hstart, hstop, vstart, vstop): read
from registers 0x1c..0x23; assigning four counts (0..65535) writes them.)doc")
        .def(
            "set_csc",
            [](const BoardObject& self, bool on) {
                self.board->run("switching the converter",
                                [on](BoardConnection& c) { return SetConverter(c.board(), on); });
            },
            py::arg("on"),
            R"doc(set_csc(on) -> None

Switches the YPbPr-to-RGB colour space converter on or off (FPGA register 0x1b).)doc")
        .def(
            "mux",
            [](const BoardObject& self, py::handle channel) {
                const int k = number(channel, "channel", 0, 3, false);
                self.board->run("selecting the multiplexer channel", [k](BoardConnection& c) {
                    return c.board().TM6185Channel_Select(k);
                });
            },
            py::arg("channel"),
            R"doc(mux(channel) -> None

Selects the input multiplexer's (TM6185) channel, 0..3, as korva726ctl mux and
the debug controls' "Channel 0".."Channel 3" do.)doc")
        .def(
            "sync",
            [](const BoardObject& self, py::handle mode) {
                const int k = number(mode, "sync mode", 0, 3, false);
                self.board->run("selecting the sync separator's mode", [k](BoardConnection& c) {
                    return c.board().SQ7302Channel_Select(k);
                });
            },
            py::arg("mode"),
            R"doc(sync(mode) -> None

Selects the sync separator's (SQ7302) mode: 0 NTSC/PAL, 1 tri-level, 2 HDTV,
3 computer RGB, as korva726ctl sync does.)doc")
        .def(
            "port",
            [](const BoardObject& self, const std::string& port, py::handle value) {
                const auto letter = PortLetter(port);
                if (!letter) throw py::value_error("unknown port \"" + port + "\" (a, b or e)");
                const auto v = static_cast<std::uint8_t>(number(value, "value", 0, 0xFF));
                self.board->run(
                    "writing port " + std::string(1, *letter),
                    [&letter, v](BoardConnection& c) { return WritePort(c.board(), *letter, v); });
            },
            py::arg("port"), py::arg("value"),
            R"doc(port(port, value) -> None

Drives a byte on the microcontroller's port "a", "b" or "e" (either case), as
korva726ctl port does.)doc")
        .def(
            "eeprom_write",
            [](const BoardObject& self, py::handle address, py::handle value) {
                const int a = number(address, "EEPROM address", 0, 0xFF);
                const int v = number(value, "value", 0, 0xFF);
                self.board->run(
                    [a] { return "writing EEPROM byte " + hex(a); },
                    [a, v](BoardConnection& c) { return c.board().WriteByte_EEPROM(a, v); });
            },
            py::arg("address"), py::arg("value"),
            R"doc(eeprom_write(address, value) -> None

Writes one byte (0x00..0xff) of the board's configuration EEPROM, as
korva726ctl eeprom set -y does: nothing is asked first.)doc")
        .def(
            "download",
            [](const BoardObject& self, py::handle source, py::object progress) {
                return download(*self.board, source, std::move(progress));
            },
            py::arg("source"), py::arg("progress") = py::none(),
            R"doc(download(source, progress=None) -> int

Streams an FPGA bitstream (a file path, or bytes) to the board's configuration
pipe, as korva726ctl download does, and returns the data packets sent (64 bytes
each). progress(sent, total) is called on the calling thread after each block of
1024 data packets, with the packets sent so far and their number. Ctrl+C, or an
exception raised by progress, stops the download at that packet boundary (the
capture stays whole) and is raised here.)doc")
        .def(
            "close", [](const BoardObject& self) { self.board->close(); },
            "close() -> None\n\nCloses the board; again does nothing.")
        .def(
            "__enter__", [](py::object self) { return self; }, "Returns the board itself.")
        .def(
            "__exit__",
            [](const BoardObject& self, py::handle, py::handle, py::handle) {
                self.board->close();
                return false;
            },
            "Closes the board; an exception goes on.")
        .def("__repr__",
             [](const BoardObject& self) {
                 return "<korva726.Board: " + self.board->describe() + ">";
             })
        .def_property_readonly(
            "_sim", [](const BoardObject& self) { return SimObject{{self.board}}; },
            "The simulated board behind this one (tests only).");

    m.def(
        "open",
        [](std::optional<std::string> device, bool simulate, py::object capture) {
            return openBoard(std::move(device), simulate, std::move(capture));
        },
        py::arg("device") = py::none(), py::kw_only(), py::arg("simulate") = false,
        py::arg("capture") = py::none(),
        R"doc(open(device=None, *, simulate=False, capture=None) -> Board

Opens a board. `device` chooses one of several USB boards: its serial number, its port
path ("1-2.3") or "BUS:ADDR"; without it, exactly one board must be connected.
simulate=True opens the built-in simulated board instead (power-on values, no USB).
`capture` names a pcap file that records every USB transfer (Wireshark and tshark read
it). The USB identifiers looked for are 1209:1004, or [USB] VendorID and ProductID of
the Config.ini beside the installed programs.

Raises BoardNotFound (no board, or none with that ID), BoardPermissionError (the board
may not be opened by this user: see the udev rule named), Error (several boards and no
device, USB unusable, the capture file cannot be written), ValueError (device with
simulate=True).)doc");

    m.def(
        "list_boards",
        []() {
            const MatchEntry match = ReadUsbSettings(true);
            UsbBoardList found;
            {
                py::gil_scoped_release nogil;
                found = BoardConnection::List(match);
            }
            if (!found.error.empty())
                Raise("Error", "the USB devices cannot be listed: " + found.error);
            py::list boards;
            for (const UsbBoard& b : found.boards)
                boards.append(Api("BoardInfo")(
                    b.serial.empty() ? py::object(py::none()) : py::object(py::str(b.serial)),
                    b.port, b.bus, b.address, b.vendorId, b.productId, b.accessible));
            return boards;
        },
        R"doc(list_boards() -> list[BoardInfo]

The boards connected to USB, with whether this user may open each, as
`korva726ctl list` shows them.)doc");

    // The register dump file, for RegisterDump.
    m.def("_save_dump", [](const std::string& path, const std::vector<std::optional<int>>& values) {
        RegisterTexts texts;
        for (std::size_t a = 0; a < texts.size() && a < values.size(); ++a)
            if (values[a]) texts[a] = HexByte(static_cast<std::uint8_t>(*values[a]));
        const bool allNames = ReadTestSetting();
        py::gil_scoped_release nogil;
        return WriteFileAtomically(path, FormatDump(texts, allNames));
    });
    m.def("_load_dump", [](const std::string& path) {
        DumpParseResult r;
        {
            py::gil_scoped_release nogil;
            r = ReadDumpFile(path);
        }
        py::object values = py::none();
        if (r.values) {
            py::list list;
            for (const auto& v : *r.values)
                list.append(v ? py::object(py::int_(*v)) : py::object(py::none()));
            values = list;
        }
        return py::make_tuple(values, r.error, r.line);
    });

    // The simulated board behind a Board, for the tests: fault injection and inspection.
    py::class_<SimObject>(m, "_Sim")
        .def("fail_transfer",
             [](const SimObject& s, int n, int status) {
                 s.sim().failTransfer(n, static_cast<Status>(status));
             })
        .def("time_out_transfer", [](const SimObject& s, int n) { s.sim().timeOutTransfer(n); })
        .def("short_reply_at_transfer",
             [](const SimObject& s, int n, std::uint32_t bytes) {
                 s.sim().shortReplyAtTransfer(n, bytes);
             })
        .def("unplug", [](const SimObject& s) { s.sim().unplug(); })
        .def(
            "set_logging",
            [](const SimObject& s, bool on, std::size_t capacity) {
                s.sim().setLogging(on, capacity);
            },
            py::arg("on"), py::arg("capacity") = SimBoard::kLogCapacity)
        // (endpoint, status as a negative libusb code or 0, bytes) of each transfer logged.
        .def("log",
             [](const SimObject& s) {
                 py::list log;
                 for (const SimBoard::Transfer& t : s.sim().log())
                     log.append(py::make_tuple(
                         t.pipe, static_cast<std::int32_t>(t.status),
                         py::bytes(reinterpret_cast<const char*>(t.data.data()), t.data.size())));
                 return log;
             })
        .def("afe", [](const SimObject& s, int a) { return s.sim().afe(a); })
        .def("set_afe", [](const SimObject& s, int a, std::uint8_t v) { s.sim().setAfe(a, v); })
        .def("streamed_bytes", [](const SimObject& s) { return s.sim().streamedBytes(); })
        .def("streamed",
             [](const SimObject& s) {
                 const std::vector<std::uint8_t> bytes = s.sim().streamed();
                 return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
             })
        // The same one-register reads as AfeRegisters.read, `n` times in the core alone (under the
        // board's lock, without Python): the benchmark's reference. Seconds taken.
        .def("time_core_reads", [](const SimObject& s, int address, int n) {
            const auto board = s.get();
            return board->run("timing", [&](BoardConnection& c) {
                const auto start = std::chrono::steady_clock::now();
                for (int i = 0; i < n; ++i)
                    if (!ReadAfeRegister(c.board(), address)) break;
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                    .count();
            });
        });
}
