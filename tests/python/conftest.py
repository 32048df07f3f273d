"""The simulated board with its transfers logged, korva726ctl beside it, and the capture
files of both read back."""

import os
import struct
import subprocess

import pytest

import korva726

KORVA726CTL = os.environ.get("KORVA726CTL", "")

# A mode table of the tests' own, laid in each test's working directory.
MODE_TABLE = (
    "Test modes\r\n\r\nNumber of modes: 02\r\n"
    "Mode Z,100,200,10,20,300;first\r\n"
    "Mode A,230,1382,41,1065,1500;second\r\n"
)


def hex_bytes(text):
    """'230680' -> the 64-byte command packet 23 06 80 00 .. 00."""
    data = bytes.fromhex(text)
    return data + bytes(64 - len(data))


@pytest.fixture
def bench(tmp_path, monkeypatch):
    """A working directory holding the mode table."""
    (tmp_path / "mode_table.dat").write_bytes(MODE_TABLE.encode())
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def board(bench):
    """The simulated board, every transfer logged."""
    with korva726.open(simulate=True) as b:
        b._sim.set_logging(True)
        yield b


def sent(board, endpoint=0x02):
    """The bytes of each transfer that went out on `endpoint`."""
    return [data for ep, status, data in board._sim.log() if ep == endpoint and status == 0]


def bulk_records(path):
    """(type, endpoint, data) of each bulk record of a usbmon pcap file."""
    blob = path.read_bytes()
    assert struct.unpack_from("<I", blob, 20)[0] == 220  # LINKTYPE_USB_LINUX_MMAPPED
    records, at = [], 24
    while at < len(blob):
        caplen = struct.unpack_from("<I", blob, at + 8)[0]
        record = blob[at + 16 : at + 16 + caplen]
        at += 16 + caplen
        if record[9] == 3:
            records.append((chr(record[8]), record[10], record[64:]))
    return records


def ctl(directory, *args):
    """Runs korva726ctl on its simulated board in `directory`; its capture's bulk records."""
    if not KORVA726CTL:
        pytest.skip("KORVA726CTL does not name korva726ctl (CTest sets it)")
    capture = directory / "ctl.pcap"
    subprocess.run([KORVA726CTL, "--simulate", "--capture", str(capture), *args],
                   cwd=directory, check=True, capture_output=True, timeout=30)
    return bulk_records(capture)
