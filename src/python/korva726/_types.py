"""The module's exceptions, the named tuples it returns, and the register dump.

The board itself (Board, AfeRegisters, FpgaRegisters, open, list_boards) lives in the compiled part,
korva726._core, which raises these exceptions and builds these tuples.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping
from typing import NamedTuple, Optional, Union

from . import _core  # type: ignore[attr-defined]  # compiled, typed by __init__.pyi

# Where the module's own copy of the mode table lies (beside this file).
_DATA_FOLDER = os.path.dirname(os.path.abspath(__file__))

_REGISTERS = 66  # AFE registers 0x00..0x41


class Error(Exception):
    """Base of every error the board module raises."""


class BoardNotFound(Error):
    """No board matches: none is connected, none has the ID asked for, or the board
    went away (unplugged) while in use."""


class BoardPermissionError(Error, PermissionError):
    """The board is connected, but this user may not open it. The message names the
    udev rule that lets the user at the seat open it."""


class TransferError(Error):
    """A USB exchange with the board failed, or the board's reply was shorter than the
    operation reads. Once an exchange has failed, nothing more is sent on that
    connection: every later call raises the same error until the board is opened again."""


class TransferTimeout(TransferError, TimeoutError):
    """A USB transfer to or from the board timed out (after 30 s)."""


class ReadbackMismatch(Error):
    """A register read back something other than what was written to it.

    Attributes: address, written, read (ints)."""

    def __init__(self, address: int, written: int, read: int) -> None:
        super().__init__(
            f"register 0x{address:02x}: wrote 0x{written:02x}, read back 0x{read:02x}"
        )
        self.address = address
        self.written = written
        self.read = read

    def __reduce__(self):  # type: ignore[no-untyped-def]
        return (type(self), (self.address, self.written, self.read))


class DumpFileError(Error):
    """A register dump file that cannot be read, is no register dump, or cannot be saved.

    Attributes: file (the path as given), line (the 1-based line at fault, or None when
    the fault is not one line's), what (what is wrong, in plain words)."""

    def __init__(self, file: str, line: Optional[int], what: str) -> None:
        super().__init__(f"{file}: {what}")
        self.file = file
        self.line = line
        self.what = what

    def __reduce__(self):  # type: ignore[no-untyped-def]
        return (type(self), (self.file, self.line, self.what))


class BoardClosed(Error):
    """The board was used after close() or after its ``with`` block."""


class BoardInfo(NamedTuple):
    """A board present on USB, as list_boards() finds it.

    serial is None when the board has none (or it could not be read); port_path is
    the USB port path ("1-2.3"); accessible says whether this user may open it."""

    serial: Optional[str]
    port_path: str
    bus: int
    address: int
    vendor_id: int
    product_id: int
    accessible: bool


class Mode(NamedTuple):
    """A video mode of the mode table: its name, the DE window's horizontal and vertical
    start and stop, and the PLL's total pixels per line."""

    name: str
    hstart: float
    hstop: float
    vstart: float
    vstop: float
    htotal: float


class DeWindow(NamedTuple):
    """The FPGA's data-enable window: four counts of 0..65535."""

    hstart: int
    hstop: int
    vstart: int
    vstop: int


def _path_text(path: Union[str, os.PathLike[str]]) -> str:
    return os.fspath(path)


class RegisterDump(Mapping[int, int]):
    """The AFE's registers as a read-only mapping of address (0x00..0x41) to value.

    A dump read from the board (AfeRegisters.dump()) holds all 66 registers. One loaded from a
    file lacks the registers whose lines hold no value (boxes not read when the file
    was saved): loading it into the chip leaves those registers as they are.
    RegisterDump({0x06: 0x80, ...}) makes one from any mapping."""

    __slots__ = ("_values",)

    def __init__(self, values: Optional[Mapping[int, int]] = None) -> None:
        table: list[Optional[int]] = [None] * _REGISTERS
        for address, value in (values or {}).items():
            if not isinstance(address, int) or not 0 <= address < _REGISTERS:
                raise ValueError(f"register {address!r} is outside 0x00..0x41")
            if not isinstance(value, int) or not 0 <= value <= 0xFF:
                raise ValueError(f"value {value!r} of register 0x{address:02x} is outside 0x00..0xff")
            table[address] = value
        self._values = tuple(table)

    @classmethod
    def _of(cls, values: "list[Optional[int]] | tuple[Optional[int], ...]") -> "RegisterDump":
        dump = cls.__new__(cls)
        dump._values = tuple(values)
        return dump

    def __getitem__(self, address: int) -> int:
        value = self._values[address] if isinstance(address, int) and 0 <= address < _REGISTERS else None
        if value is None:
            raise KeyError(address)
        return value

    def __iter__(self) -> Iterator[int]:
        return (a for a, v in enumerate(self._values) if v is not None)

    def __len__(self) -> int:
        return sum(v is not None for v in self._values)

    def __repr__(self) -> str:
        return "RegisterDump({" + ", ".join(f"0x{a:02x}: 0x{v:02x}" for a, v in self.items()) + "})"

    def save(self, file: Union[str, os.PathLike[str]]) -> None:
        """Writes the register dump file the window's Save writes, byte for byte (68 lines
        with CR LF). The file is replaced whole, or left as it was when the save fails
        (DumpFileError)."""
        path = _path_text(file)
        error = _core._save_dump(path, list(self._values))
        if error:
            raise DumpFileError(path, None, f"cannot save the registers there ({error}); the file was not changed")

    @classmethod
    def load(cls, file: Union[str, os.PathLike[str]]) -> "RegisterDump":
        """Reads a register dump file, checked whole (DumpFileError names the line at
        fault)."""
        path = _path_text(file)
        values, error, line = _core._load_dump(path)
        if values is None:
            raise DumpFileError(path, line or None, error)
        return cls._of(values)

    def diff(self, other: Mapping[int, int]) -> dict[int, tuple[int, int]]:
        """The registers whose values differ: {address: (theirs, ours)}, where theirs is
        other's value and ours is this dump's. Registers missing from either side are
        not compared."""
        return {
            a: (other[a], ours)
            for a, ours in enumerate(self._values)
            if ours is not None and a in other and other[a] != ours
        }
