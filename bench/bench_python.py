"""What the Python module adds to a register read: 100,000 board.afe.read() calls on the
simulated board, against the same reads made by the C++ core alone on the same board
(the one-register burst read, under the board's lock, without Python).

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [CALLS] [REPEATS]

Prints the time per call of each, the best of REPEATS runs, and their difference; the
budget for the module is 1 µs a call.
"""

import statistics
import sys
import time

import korva726

calls = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5


def through_python(board):
    start = time.perf_counter()
    for _ in range(calls):
        board.afe.read(0x06)
    return (time.perf_counter() - start) / calls


def through_core(board):
    return board._sim.time_core_reads(0x06, calls) / calls


with korva726.open(simulate=True) as board:
    through_python(board)  # warm-up: caches, the first allocations
    python = [through_python(board) for _ in range(repeats)]
    core = [through_core(board) for _ in range(repeats)]

ns = 1e9
print(f"{calls} reads, best of {repeats} (median in brackets), per call:")
print(f"  board.afe.read()  {min(python) * ns:7.0f} ns  ({statistics.median(python) * ns:.0f})")
print(f"  C++ core alone    {min(core) * ns:7.0f} ns  ({statistics.median(core) * ns:.0f})")
print(f"  added by Python   {(min(python) - min(core)) * ns:7.0f} ns  (budget 1000 ns)")
