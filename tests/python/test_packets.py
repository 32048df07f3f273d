"""The module sends what korva726ctl sends, and writes the files it writes: both run on
their simulated boards with a capture, and the captures' bulk records are compared."""

import pytest

import korva726
from conftest import bulk_records, ctl

BITSTREAM = bytes(range(256)) * 3 + b"tail"  # 772 bytes: 13 data packets, zero-padded


def write_dump(board):
    board.afe.write(0x10, 0x5A)
    board.afe.dump().save("py.txt")


# korva726ctl's arguments, and the same action through the module.
@pytest.mark.parametrize("args, action", [
    (["get", "0x06"], lambda b: b.afe.read(0x06)),
    (["get", "0x3e", "4"], lambda b: b.afe.read_block(0x3E, 4)),
    (["set", "0x10", "0x5a"], lambda b: b.afe.write(0x10, 0x5A)),
    (["set", "0x0a", "0x81", "--gang"], lambda b: b.afe.write(0x0A, 0x81, gang=True)),
    (["dump"], lambda b: b.afe.dump()),
    (["load", "one.txt"], lambda b: b.afe.load("one.txt")),
    (["mode", "apply", "Mode A", "--input", "Component 2", "--csc"],
     lambda b: b.apply_mode("Mode A", "component2", csc=True)),
    (["mode", "apply", "Mode Z", "--input", "vga1"], lambda b: b.apply_mode("Mode Z", "VGA_1")),
    (["de", "get"], lambda b: b.de_window),
    (["de", "set", "230", "1382", "41", "65535"],
     lambda b: setattr(b, "de_window", korva726.DeWindow(230, 1382, 41, 65535))),
    (["csc", "on"], lambda b: b.set_csc(True)),
    (["fpga", "get", "0x1b"], lambda b: b.fpga.read(0x1B)),
    (["fpga", "set", "0x1b", "0x21"], lambda b: b.fpga.write(0x1B, 0x21)),
    (["fpga", "dump"], lambda b: b.fpga.dump()),
    (["mux", "2"], lambda b: b.mux(2)),
    (["sync", "3"], lambda b: b.sync(3)),
    (["port", "E", "0x0f"], lambda b: b.port("e", 0x0F)),
    (["eeprom", "set", "-y", "0x10", "0xff"], lambda b: b.eeprom_write(0x10, 0xFF)),
    (["download", "-y", "bit.bin"], lambda b: b.download("bit.bin")),
    (["download", "-y", "bit.bin"], lambda b: b.download(BITSTREAM)),
    (["run", "script.txt"], write_dump),
])
def test_each_call_sends_what_korva726ctl_sends(bench, args, action):
    (bench / "bit.bin").write_bytes(BITSTREAM)
    (bench / "script.txt").write_text("set 0x10 0x5a\nsave ctl.txt\n")
    dump = {a: (a * 7) & 0xFF for a in range(66) if a != 0x20}
    korva726.RegisterDump(dump).save("one.txt")
    expected = ctl(bench, *args)
    with korva726.open(simulate=True, capture=bench / "py.pcap") as board:
        action(board)
    assert len(expected) > 2 and bulk_records(bench / "py.pcap") == expected
    if action is write_dump:
        assert (bench / "py.txt").read_bytes() == (bench / "ctl.txt").read_bytes()


def test_reads_and_the_download_return_what_the_board_holds(board, bench):
    board._sim.set_afe(0x3E, 0xA5)
    assert board.afe.read(0x3E) == 0xA5
    assert board.afe.read_block(0x3E, 4)[:1] == b"\xa5"
    board.set_csc(True)
    board.de_window = (1, 2, 0x1234, 65535)
    assert board.de_window == korva726.DeWindow(1, 2, 0x1234, 65535)
    assert board.fpga.dump()[0x1B:0x24] == bytes.fromhex("21 0001 0002 1234 FFFF")
    assert [m.name for m in board.modes()] == ["Mode Z", "Mode A"]
    assert board.modes()[1] == korva726.Mode("Mode A", 230, 1382, 41, 1065, 1500)

    heard = []
    assert board.download(BITSTREAM, progress=lambda *p: heard.append(p)) == 13
    assert heard[-1] == (13, 13)
    assert board._sim.streamed() == BITSTREAM + bytes(13 * 64 - len(BITSTREAM))
