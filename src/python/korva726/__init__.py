"""The KORVA726EVAL board from Python, on the same core as korva726ctl and the window.

Every call sends exactly the packets korva726ctl sends for the same action and checks
what it checks. A typical script:

    import korva726

    with korva726.open(simulate=True) as board:   # leave out simulate=True for USB
        board.afe.write(0x06, 0x80, gang=True)
        print(board.afe.dump().diff(korva726.RegisterDump.load("known-good.txt")))

One Board may be used from several threads: its calls are carried out one at a time,
and the GIL is released while the board is busy on USB.
"""

from ._core import AfeRegisters, Board, FpgaRegisters, list_boards, open
from ._types import (
    BoardClosed,
    BoardInfo,
    BoardNotFound,
    BoardPermissionError,
    DeWindow,
    DumpFileError,
    Error,
    Mode,
    ReadbackMismatch,
    RegisterDump,
    TransferError,
    TransferTimeout,
)

__all__ = [
    "AfeRegisters",
    "Board",
    "BoardClosed",
    "BoardInfo",
    "BoardNotFound",
    "BoardPermissionError",
    "DeWindow",
    "DumpFileError",
    "Error",
    "FpgaRegisters",
    "Mode",
    "ReadbackMismatch",
    "RegisterDump",
    "TransferError",
    "TransferTimeout",
    "list_boards",
    "open",
]

# Tracebacks and help() name the public module, not the private one each name is made in.
for _name in __all__:
    _obj = globals()[_name]
    if isinstance(_obj, type):
        _obj.__module__ = __name__
del _name, _obj
