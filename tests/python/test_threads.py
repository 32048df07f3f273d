"""One board, several Python threads: the GIL is free while the board is busy, and the
calls never interleave on the wire."""

import os
import signal
import threading
import time

import pytest

import korva726
from conftest import bulk_records, hex_bytes


def test_other_threads_run_during_a_download(board):
    bitstream = bytes(range(256)) * 16384  # 4 MiB: 65,537 data packets
    board._sim.set_logging(True, 70000)
    done = threading.Event()
    result = []
    worker = threading.Thread(target=lambda: (result.append(board.download(bitstream)), done.set()))
    seen = set()
    worker.start()
    while not done.is_set():
        seen.add(board._sim.streamed_bytes())
    worker.join()
    # This thread saw the download part-way: it ran while the other was in the download.
    assert seen - {0, 65537 * 64}
    assert result == [65537]
    assert board._sim.streamed() == bitstream + bytes(64)


def test_calls_from_eight_threads_stay_whole(board):
    rounds, errors = 20, []

    def work(thread):
        try:
            for i in range(rounds):
                value = thread * rounds + i  # each call's own value
                board.afe.load(korva726.RegisterDump({a: value for a in range(66)}))
                board.afe.write(0x10 + thread, value)  # raises when a read-back is not its own
        except Exception as e:  # noqa: BLE001 - reported below, with the thread
            errors.append((thread, e))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    log = board._sim.log()
    # Each exchange is a command and its reply; each call's exchanges come together: a
    # load's 66 writes, a write and its read-back.
    assert [ep for ep, _, _ in log] == [0x02, 0x82] * (8 * rounds * 68)
    commands = [data for ep, _, data in log if ep == 0x02]
    while commands:
        value = commands[0][2]
        if commands[0][1] == 0x00:
            call = [hex_bytes(f"23{a:02X}{value:02X}") for a in range(66)]
        else:
            call = [hex_bytes(f"23{commands[0][1]:02X}{value:02X}"), hex_bytes(f"034C{commands[0][1]:02X}01")]
        assert commands[:len(call)] == call
        del commands[:len(call)]


@pytest.mark.parametrize("stop", ["progress raises", "Ctrl+C"])
def test_a_download_stops_at_a_packet_boundary_with_the_capture_whole(bench, stop):
    bitstream = bytes(range(256)) * 16384  # 65,537 data packets, in blocks of 1024
    calls = []

    def progress(sent, total):
        calls.append((sent, total))
        if stop == "progress raises" and len(calls) == 2:
            raise ValueError("enough")
        time.sleep(0.002)  # room for the signal to land part-way

    def interrupt():
        while len(calls) < 3:
            time.sleep(0.0005)
        os.kill(os.getpid(), signal.SIGINT)

    capture = bench / "c.pcap"
    expected = ValueError if stop == "progress raises" else KeyboardInterrupt
    with korva726.open(simulate=True, capture=str(capture)) as board:
        if stop == "Ctrl+C":
            threading.Thread(target=interrupt, daemon=True).start()
        with pytest.raises(expected):
            board.download(bitstream, progress=progress)
        streamed = board._sim.streamed_bytes()
    packets = len(calls) * 1024
    assert calls[-1] == (packets, 65537) and streamed == packets * 64
    data = [r for r in bulk_records(capture) if r[1] == 0x05]
    # The start packet and every data packet sent: a submission and a completion each.
    submitted = [d for t, _, d in data if t == "S"]
    assert len(data) == 2 * len(submitted) and [len(d) for d in submitted] == [1] + [64] * packets
