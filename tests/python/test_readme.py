"""The README's Python examples, run as they stand against the simulated board; the
module's docstrings and type stubs."""

import pathlib
import re
import subprocess
import sys

import pytest

import korva726

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
PIPE_ERROR = -9


def examples():
    text = README.read_text()
    section = text[text.index("## Python"):]
    section = section[:section.index("\n## ", 1)]
    return [code for code in re.findall(r"```python\n(.*?)```", section, re.S) if "korva726.open(simulate=True)" in code]


def run(code, monkeypatch, capsys, fault=None):
    opened = korva726.open

    def open_with_fault(*args, **kwargs):
        board = opened(*args, **kwargs)
        if fault:
            fault(board._sim)
        return board

    slept = []
    monkeypatch.setattr(korva726, "open", open_with_fault)
    monkeypatch.setattr("time.sleep", slept.append)
    exec(compile(code, "README.md", "exec"), {})
    return capsys.readouterr().out, slept


def test_the_gain_sweep_stops_at_the_first_failure(bench, monkeypatch, capsys):
    sweep = examples()[0]
    assert run(sweep, monkeypatch, capsys) == ("", [2] * 9)
    # Each ganged write is 12 transfers: the second write's first one fails.
    out, slept = run(sweep, monkeypatch, capsys, lambda sim: sim.fail_transfer(13, PIPE_ERROR))
    assert out == ("stopped at gain 0x50: writing AFE register 0x06: WriteByte_AFE (register 0x06, "
                   "value 0x50): sending the command: LIBUSB_ERROR_PIPE: Pipe error\n")
    assert slept == [2]


def test_the_dump_comparison_names_the_register_changed(bench, monkeypatch, capsys):
    with korva726.open(simulate=True) as board:
        power_on = board._sim.afe(0x10)
    out, _ = run(examples()[1], monkeypatch, capsys)
    assert out == f"register 0x10 is 0x5a, known good 0x{power_on:02x}\n"


def test_every_public_name_has_a_docstring():
    for name in korva726.__all__:
        obj = getattr(korva726, name)
        assert (obj.__doc__ or "").strip(), name
        for member, value in vars(obj).items() if isinstance(obj, type) else ():
            if not member.startswith("_") and callable(getattr(value, "__get__", None)):
                assert (getattr(obj, member).__doc__ or "").strip(), f"{name}.{member}"


def test_the_stubs_match_the_module(tmp_path):
    try:
        import mypy.stubtest  # noqa: F401
    except ImportError:
        pytest.skip("mypy is not installed (python3-mypy): the stubs are not checked")
    allowlist = pathlib.Path(__file__).with_name("stubtest-allowlist.txt")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "korva726", "--allowlist", allowlist],
                            capture_output=True, text=True, cwd=tmp_path, timeout=240)
    assert result.returncode == 0, result.stdout + result.stderr
