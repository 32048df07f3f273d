"""What the module raises, and what it sends before it raises."""

import pytest

import korva726
from conftest import hex_bytes, sent

PIPE_ERROR = -9  # LIBUSB_ERROR_PIPE


# Fault injected, call, exception class, words of its message, command packets that went
# out (the failed one is not among them), whether the board sends nothing more after it
# (the FPGA reads report no failure to the link, as in the window).
@pytest.mark.parametrize("fault, call, error, words, packets, halts", [
    (lambda s: s.fail_transfer(1, PIPE_ERROR), lambda b: b.afe.write(0x06, 0x80),
     korva726.TransferError, "writing AFE register 0x06: WriteByte_AFE (register 0x06, value 0x80): "
     "sending the command: LIBUSB_ERROR_PIPE", [], True),
    (lambda s: s.time_out_transfer(4), lambda b: b.afe.write(0x06, 0x80),
     korva726.TransferTimeout, "ReadBurstI2C (device 0x4C, register 0x06, 1 bytes): reading the "
     "reply: LIBUSB_ERROR_TIMEOUT", ["230680", "034C0601"], True),
    (lambda s: s.short_reply_at_transfer(4, 1), lambda b: b.afe.dump(),
     korva726.TransferError, "short reply: the board answered with 1 bytes; the operation reads 2",
     ["034C0040", "034C4002"], True),
    (lambda s: s.unplug(), lambda b: b.afe.read(0x06), korva726.BoardNotFound, "unplugged", [], True),
    (lambda s: s.time_out_transfer(2), lambda b: b.fpga.read(0x1B), korva726.TransferError,
     "reading FPGA register 0x1b: the board did not answer", ["2E1B"], False),
    (lambda s: s.time_out_transfer(2), lambda b: b.de_window, korva726.TransferError,
     "reading the DE window: the board did not answer", ["2E1C"], False),
])
def test_a_failed_exchange_raises_its_class(board, fault, call, error, words, packets, halts):
    fault(board._sim)
    with pytest.raises(error) as raised:
        call(board)
    assert type(raised.value) is error and words in str(raised.value)
    assert sent(board) == [hex_bytes(p) for p in packets]
    if halts:
        with pytest.raises(error, match="nothing was sent, as an earlier exchange failed"):
            board.afe.read(0x00)
        assert sent(board) == [hex_bytes(p) for p in packets]
    else:
        assert board.fpga.read(0x1B) == 0x00


# Each call with an argument the board cannot take: ValueError (TypeError for no number),
# and nothing sent.
@pytest.mark.parametrize("call, error, words", [
    (lambda b: b.afe.read(0x42), ValueError, "register 66 is outside 0x00..0x41"),
    (lambda b: b.afe.read(-1), ValueError, "outside"),
    (lambda b: b.afe.read(2**80), ValueError, "outside"),
    (lambda b: b.afe.read(1.0), TypeError, ""),
    (lambda b: b.afe.read_block(0x40, 3), ValueError, "count 3 is outside 1..2"),
    (lambda b: b.afe.read_block(0x00, 0), ValueError, "count 0 is outside 1..64"),
    (lambda b: b.afe.write(0x06, 0x100), ValueError, "value 256 is outside 0x00..0xff"),
    (lambda b: b.afe.write(0x05, 0x10, gang=True), ValueError, "not 0x05"),
    (lambda b: b.fpga.read(0x100), ValueError, "FPGA register 256"),
    (lambda b: b.fpga.write(0x1B, -1), ValueError, "value -1"),
    (lambda b: setattr(b, "de_window", (1, 2, 3, 65536)), ValueError, "vstop 65536 is outside 0..65535"),
    (lambda b: setattr(b, "de_window", (1, 2, 3)), ValueError, "four counts"),
    (lambda b: b.apply_mode("Mode A", "svideo"), ValueError, 'unknown input "svideo"'),
    (lambda b: b.apply_mode("Mode Q", "vga1"), ValueError, 'no mode "Mode Q"'),
    (lambda b: b.mux(4), ValueError, "channel 4 is outside 0..3"),
    (lambda b: b.sync(-1), ValueError, "sync mode -1 is outside 0..3"),
    (lambda b: b.port("c", 0), ValueError, 'unknown port "c"'),
    (lambda b: b.eeprom_write(0x100, 0), ValueError, "EEPROM address 256"),
    (lambda b: b.download("no-such.bit"), FileNotFoundError, "no-such.bit"),
    (lambda b: b.download(b"\0" * 64, progress=3), TypeError, "progress must be callable"),
    (lambda b: b.afe.load("no-such.txt"), korva726.DumpFileError, "the file does not exist"),
])
def test_refused_arguments_send_nothing(board, call, error, words):
    with pytest.raises(error) as raised:
        call(board)
    assert words in str(raised.value)
    assert board._sim.log() == []


def test_a_closed_board_refuses_every_use(bench):
    board = korva726.open(simulate=True)
    afe, fpga = board.afe, board.fpga
    board.close()
    board.close()
    for use in (lambda: afe.read(0), lambda: fpga.dump(), lambda: board.afe, lambda: board.identity,
                lambda: board.modes(), lambda: board.set_csc(True), lambda: board.de_window,
                lambda: board.download(b"1"), lambda: board.download("no-such.bit")):
        with pytest.raises(korva726.BoardClosed, match="simulated board is closed"):
            use()
    assert "closed" in repr(board)


def test_the_with_block_closes_the_board_and_lets_an_exception_through(bench):
    with pytest.raises(KeyError):
        with korva726.open(simulate=True) as board:
            assert board.identity == "simulated board"
            raise KeyError("from the block")
    with pytest.raises(korva726.BoardClosed):
        board.afe.read(0x06)


@pytest.mark.parametrize("device, simulate, error", [
    ("NO-SUCH-BOARD", True, ValueError),
    ("NO-SUCH-BOARD", False, korva726.Error),  # BoardNotFound, or no USB to list at all
])
def test_an_unknown_board_is_not_opened(device, simulate, error):
    with pytest.raises(error) as raised:
        korva726.open(device, simulate=simulate)
    if "cannot be listed" not in str(raised.value) and not simulate:
        assert isinstance(raised.value, korva726.BoardNotFound)


def test_writes_read_back_and_a_mismatch_raises_after_the_write(board):
    assert board.afe.write(0x10, 0x5A) == 0x5A
    assert board.afe.write(0x07, 0x33, gang=True) == 0x33
    with pytest.raises(korva726.ReadbackMismatch) as raised:
        board.afe.write(0x00, 0x12)  # read-only
    mismatch = raised.value
    assert (mismatch.address, mismatch.written, mismatch.read) == (0x00, 0x12, board._sim.afe(0))
    assert board.afe.write(0x00, 0x12, verify=False) == board._sim.afe(0)
    assert sent(board)[-4:] == [hex_bytes("230012"), hex_bytes("034C0001")] * 2


def test_dump_files_load_check_and_diff(board, bench):
    dump = board.afe.dump()
    assert len(dump) == 66 and dump[0x10] == board._sim.afe(0x10)
    dump.save("all.txt")
    lines = (bench / "all.txt").read_bytes().split(b"\r\n")
    lines[0x10 + 2] = lines[0x10 + 2][:-2] + b"5A"
    lines[0x11 + 2] = lines[0x11 + 2][:-2]  # no value: left as it is
    (bench / "edited.txt").write_bytes(b"\r\n".join(lines))
    edited = korva726.RegisterDump.load("edited.txt")
    assert 0x11 not in edited and len(edited) == 65
    assert edited.diff(dump) == {0x10: (dump[0x10], 0x5A)}
    edited.save("again.txt")
    assert (bench / "again.txt").read_bytes() == (bench / "edited.txt").read_bytes()

    board._sim.set_logging(True)
    assert board.afe.load("edited.txt") == 65
    assert board._sim.afe(0x10) == 0x5A

    lines[0x20 + 2] = b"Broken line"
    (bench / "broken.txt").write_bytes(b"\r\n".join(lines))
    before = len(board._sim.log())
    with pytest.raises(korva726.DumpFileError) as raised:
        board.afe.load("broken.txt")
    assert (raised.value.file, raised.value.line) == ("broken.txt", 0x20 + 3)
    assert "no \": 0x\"" in raised.value.what
    assert len(board._sim.log()) == before
    with pytest.raises(korva726.DumpFileError) as raised:
        edited.save(bench / "no-such-folder" / "x.txt")
    assert raised.value.line is None and "the file was not changed" in raised.value.what
    with pytest.raises(ValueError):
        korva726.RegisterDump({0x42: 1})


# Each call with a bad [USB] VendorID in Config.ini, and whether it warns about it: only a
# search of USB does (as in korva726ctl); a dump file takes [Flags] Test alone, and the
# simulated board is no USB board.
@pytest.mark.parametrize("call, warns", [
    (lambda: korva726.RegisterDump({0x06: 0x80}).save("dump.txt"), False),
    (lambda: korva726.open(simulate=True).close(), False),
    (korva726.list_boards, True),
    (lambda: korva726.open("NO-SUCH-BOARD"), True),
])
def test_only_a_search_of_usb_warns_about_its_identifiers(bench, monkeypatch, recwarn, call, warns):
    (bench / "Config.ini").write_bytes(b"[USB]\r\nVendorID=XYZ\r\n")
    monkeypatch.setattr(korva726._core, "_CONFIG_FOLDER", str(bench))
    try:
        call()
    except korva726.Error:  # no board, or no USB to list at all
        pass
    said = [str(w.message) for w in recwarn if 'VendorID "XYZ" is not a USB identifier' in str(w.message)]
    assert said == ([str(bench / "Config.ini") + ', line 2: VendorID "XYZ" is not a USB identifier '
                     "(hexadecimal 0 to FFFF); the default 1209 is used"] if warns else [])



# Config.ini's [Flags] Test, and whether a saved dump then names every register (the
# register lines differ from those of a dump saved without a Config.ini).
@pytest.mark.parametrize("config, named", [
    (b"[Flags]\r\nTest=False\r\n", False),
    (b"[USB]\r\nVendorID=XYZ\r\n[Flags]\r\nTest=True\r\n", True),
])
def test_the_test_flag_names_every_register_of_a_saved_dump(bench, monkeypatch, config, named):
    dump = korva726.RegisterDump({0x06: 0x80})
    (bench / "none").mkdir()
    monkeypatch.setattr(korva726._core, "_CONFIG_FOLDER", str(bench / "none"))
    dump.save("plain.txt")
    (bench / "Config.ini").write_bytes(config)
    monkeypatch.setattr(korva726._core, "_CONFIG_FOLDER", str(bench))
    dump.save("saved.txt")
    assert ((bench / "plain.txt").read_bytes() != (bench / "saved.txt").read_bytes()) == named
    assert korva726.RegisterDump.load("saved.txt") == dump
