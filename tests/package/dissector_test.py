#!/usr/bin/env python3
"""The Wireshark dissector read through tshark: korva726ctl's captures of each command on
the simulated board, every packet's decoded fields and its usb.capdata checked against the
capture's bytes; and captures written here for what the program never sends (short replies,
unknown opcodes, traffic of other devices).

tshark loads the dissector given here as its only copy, from a private global Lua plugin
folder, whether or not the package (or a personal copy) is installed on this machine.

dissector_test.py KORVA726CTL KORVA726_LUA     (exit 77: skipped, tshark is missing)
"""
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

CTL, LUA = map(os.path.abspath, sys.argv[1:3])

# The board's commands as its protocol defines them: the program's name for the operation,
# the fields of the argument bytes from byte 1 on (field, size; two bytes go high byte
# first) and the reply bytes the operation reads.
COMMANDS = {
    0x03: ("ReadBurstI2C", [("i2c_address", 1), ("register", 1), ("count", 1)], "count"),
    0x04: ("WriteBurstI2C", [("i2c_address", 1), ("register", 1), ("count", 1)], 0),
    0x22: ("ReadByte_AFE", [("register", 1)], 1),
    0x23: ("WriteByte_AFE", [("register", 1), ("value", 1)], 0),
    0x25: ("SQ7302Channel_Select", [("mode", 1)], 0),
    0x28: ("TM6185Channel_Select", [("channel", 1)], 0),
    0x2E: ("ReadByte_FPGA", [("register", 1)], 1),
    0x2F: ("WriteByte_FPGA", [("register", 1), ("value", 1)], 0),
    0x30: ("Write_PORTA", [("value", 1)], 0),
    0x40: ("Write_PORTB", [("value", 1)], 0),
    0x70: ("Write_PORTE", [("value", 1)], 0),
    0x80: ("WriteByte_EEPROM", [("address", 2), ("value", 1)], 0),
}
FIELDS = ["korva726." + f for f in
          ["operation", "opcode", "i2c_address", "register", "count", "value", "channel", "mode",
           "port", "address", "data", "reply_values", "index", "offset", "command_in",
           "reply_in"]] + ["usb.capdata"]
DECIMAL = {"count", "channel", "mode", "index", "offset", "command_in", "reply_in"}


def shown(field, value, size=1):
    """A value as tshark's field output prints it."""
    return str(value) if field in DECIMAL else f"0x{value:0{2 * size}x}"


def read_pcap(path):
    """The bulk records that carry data, as (frame number, endpoint, bytes)."""
    with open(path, "rb") as f:
        blob = f.read()
    assert struct.unpack_from("<I", blob, 20)[0] == 220, "not a usbmon capture"
    at, frame, out = 24, 0, []
    while at < len(blob):
        caplen = struct.unpack_from("<I", blob, at + 8)[0]
        record = blob[at + 16:at + 16 + caplen]
        frame, at = frame + 1, at + 16 + caplen
        if record[9] == 3 and len(record) > 64:
            out.append((frame, record[10], record[64:]))
    return out


def expected_fields(records):
    """What each frame decodes to, worked out from the bytes alone."""
    frames, command, bitstream = {}, None, None
    for frame, endpoint, data in records:
        f = frames.setdefault(frame, {"usb.capdata": data.hex()})
        if endpoint == 0x02:
            name, args, reads = COMMANDS[data[0]]
            f.update(operation=name, opcode=shown("opcode", data[0]))
            if data[0] in (0x30, 0x40, 0x70):
                f["port"] = name[-1]
            at = 1
            for field, size in args:
                f[field] = shown(field, int.from_bytes(data[at:at + size], "big"), size)
                at += size
            if data[0] == 0x04 and data[3]:
                f["data"] = data[4:4 + data[3]].hex()
            command = (frame, f, data, data[3] if reads == "count" else reads)
            bitstream = None
        elif endpoint == 0x82:
            cframe, cf, cdata, reads = command
            cf["reply_in"] = str(frame)
            f.update(operation=cf["operation"], command_in=str(cframe))
            if reads:
                f.update({k: cf[k] for k in ("i2c_address", "register", "count") if k in cf})
                if cdata[0] == 0x03:
                    f["reply_values"] = data[:reads].hex()
                else:
                    f["value"] = shown("value", data[0])
            command = None
        elif endpoint == 0x05:
            f["operation"] = "DownloadBitstream"
            if len(data) == 1:
                f["value"], bitstream = shown("value", data[0]), 0
            else:
                f.update(index=str(bitstream), offset=str(64 * bitstream), data=data.hex())
                bitstream += 1
    return {frame: {k if "." in k else "korva726." + k: v for k, v in f.items()}
            for frame, f in frames.items()}


def private_tshark(lua, root):
    """How to run tshark so that it loads `lua` and no other copy of the dissector: a global
    Lua plugin folder of its own holding a copy (WIRESHARK_PLUGIN_DIR, with the system's
    compiled plugins linked in), and a home and configuration folder of its own, so that no
    personal plugin or preference applies either. tshark ignores WIRESHARK_PLUGIN_DIR when
    run by root, so root runs it as nobody. Returns the runner and the report of what it
    loads, checked against `tshark -G plugins`."""
    listed = subprocess.run(["tshark", "-G", "folders"], capture_output=True, text=True).stdout
    system = dict(re.match(r"([^:]+):\s*(.*)", line).groups() for line in listed.splitlines())
    plugins, home, config = (os.path.join(root, d) for d in ("lua", "home", "config"))
    for d in (plugins, home, config):
        os.makedirs(d)
    shutil.copyfile(lua, os.path.join(plugins, "korva726.lua"))
    compiled = system["Global Plugins"]
    os.symlink(compiled, os.path.join(plugins, os.path.basename(compiled)))
    os.chmod(root, 0o755)
    env = dict(os.environ, WIRESHARK_PLUGIN_DIR=plugins, HOME=home, WIRESHARK_CONFIG_DIR=config)
    root_runs = 0 in (os.getuid(), os.geteuid())
    user = {"user": 65534, "group": 65534, "extra_groups": []} if root_runs else {}

    def run(args, **kw):
        return subprocess.run(args, env=env, capture_output=True, text=True, **user, **kw)

    loaded = [line.split("\t")[-1] for line in run(["tshark", "-G", "plugins"]).stdout.splitlines()
              if re.match(r"korva726\.lua\s", line)]
    assert loaded == [os.path.join(plugins, "korva726.lua")], \
        f"tshark loads these copies of the dissector: {loaded}"
    others = [os.path.join(system[f], "korva726.lua")
              for f in ("Global Lua Plugins", "Personal Lua Plugins")]
    # tshark also reads Lua plugins from the personal configuration's plugins folder.
    others += [os.path.join(system["Personal configuration"], "plugins", "korva726.lua")]
    left_out = [path for path in others if os.path.exists(path)] or ["none installed"]
    return run, (f"testing {lua}: tshark loads it from {plugins} as its only copy"
                 f"{' (run as nobody)' if user else ''}; other copies: {', '.join(left_out)}")


def tshark(capture, fields):
    """tshark's field output for every frame of the capture, with the dissector loaded."""
    run = TSHARK(["tshark", "-2", "-r", capture, "-T", "fields", "-E", "separator=\t",
                  "-E", "occurrence=a", "-e", "frame.number"] + ["-e" + f for f in fields],
                 check=True)
    errors = [line for line in run.stderr.splitlines() if "Running as user" not in line]
    assert not errors, "\n".join(errors)
    return [line.split("\t") for line in run.stdout.splitlines()]


def decoded(capture):
    """The dissector's fields and usb.capdata of each frame that has any, by frame number."""
    out = {}
    for row in tshark(capture, FIELDS):
        values = {f: v for f, v in zip(FIELDS, row[1:]) if v}
        if values:
            out[int(row[0])] = values
    return out


def write_pcap(path, packets):
    """A usbmon capture of bulk transfers with data: (endpoint, bytes, device) each, the
    OUT ones as submissions, the IN ones as completions."""
    blob = bytearray(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 220))
    for n, (endpoint, data, device) in enumerate(packets, 1):
        kind = b"C" if endpoint & 0x80 else b"S"
        status = 0 if kind == b"C" else -115
        header = struct.pack("<QcBBBHccqiiII8x16x", n, kind, 3, endpoint, device, 1, b"-",
                             b"\0", 1700000000, n, status, len(data), len(data))
        blob += struct.pack("<IIII", 1700000000, n, 64 + len(data), 64 + len(data))
        blob += header + data
    with open(path, "wb") as f:
        f.write(blob)


def command(*head):
    return bytes(head).ljust(64, b"\0")


class Dissector(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="korva-dissector-")
        self.addCleanup(shutil.rmtree, self.dir)
        os.chmod(self.dir, 0o755) # tshark may run as nobody

    def test_every_packet_of_each_command_decodes_as_its_bytes_say(self):
        with open(os.path.join(self.dir, "mode_table.dat"), "wb") as f:
            f.write(b"Test modes\r\n\r\nNumber of modes: 01\r\nMode A,230,1382,41,1065,1500;x\r\n")
        with open(os.path.join(self.dir, "bit.bin"), "wb") as f:
            f.write(bytes(range(200)))
        with open(os.path.join(self.dir, "regs.txt"), "wb") as f:
            f.write(subprocess.run([CTL, "--simulate", "dump", "--format", "file"],
                                   check=True, capture_output=True).stdout)
        rows = ["get 0x00 64", "set 0x06 0x80", "set 0x07 0x20 --gang", "dump", "load regs.txt",
                "mode apply 'Mode A' --input component2 --csc", "de get",
                "de set 256 1382 41 1065", "csc on", "csc off", "fpga get 0x1c",
                "fpga set 0x1c 0x7f", "fpga dump", "download -y bit.bin",
                # The opcodes korva726ctl does not send, each with its reply.
                [(0x02, command(0x04, 0x4C, 0x06, 3, 0x1A, 0x2B, 0x3C), 1), (0x82, bytes(64), 1),
                 (0x02, command(0x22, 0x10), 1), (0x82, command(0x0C), 1),
                 (0x02, command(0x30, 0x03), 1), (0x82, bytes(64), 1),
                 (0x02, command(0x40, 0xA5), 1), (0x82, bytes(64), 1),
                 (0x02, command(0x70, 0xFF), 1), (0x82, bytes(64), 1),
                 (0x02, command(0x80, 0x00, 0x00, 0x00), 1), (0x82, bytes(64), 1)]]
        for row in rows:
            with self.subTest(row if isinstance(row, str) else "opcodes korva726ctl does not send"):
                capture = os.path.join(self.dir, "c.pcap")
                if isinstance(row, list):
                    write_pcap(capture, row)
                else:
                    args = [CTL, "--simulate", "--capture", capture, *shlex.split(row)]
                    run = subprocess.run(args, cwd=self.dir, capture_output=True, text=True)
                    self.assertEqual(run.returncode, 0, run.stderr)
                records = read_pcap(capture)
                self.assertTrue(records)
                got, want = decoded(capture), expected_fields(records)
                self.assertEqual(set(got), set(want), "frames decoded")
                for frame in want:
                    self.assertEqual(got[frame], want[frame], f"frame {frame}")

    def test_packets_the_program_never_sends(self):
        # Packets (endpoint, bytes, device number) and what each frame shows: its Info
        # column and the dissector's warnings, or None where the dissector leaves it alone.
        burst = command(0x03, 0x4C, 0x00, 0x40)
        cases = [
            ("a burst read answered with 2 of its 64 bytes",
             [(0x02, burst, 1), (0x82, b"\x31\x0b", 1)],
             ["ReadBurstI2C 0x4C 0x00..0x3F",
              "ReadBurstI2C 0x4C 0x00..0x3F → 31 0B [short reply: 2 of 64 bytes] "
              "korva726.reply.short"]),
            ("a write's reply of one byte: writes read none",
             [(0x02, command(0x23, 0x06, 0x80), 1), (0x82, b"\0", 1)],
             ["WriteByte_AFE 0x06 ← 0x80", "WriteByte_AFE reply"]),
            ("a read whose reply never came, seen at the next command",
             [(0x02, command(0x2E, 0x1B), 1), (0x02, command(0x2F, 0x1B, 0x21), 1)],
             ["ReadByte_FPGA 0x1B korva726.reply.missing", "WriteByte_FPGA 0x1B ← 0x21"]),
            ("unknown opcode and padding on a device known by its commands",
             [(0x02, command(0x2F, 0x1B, 0x21), 1), (0x02, command(0x55, 1, 2), 1),
              (0x02, command(0x23, 0x06, 0x80, 0, 0, 9), 1)],
             ["WriteByte_FPGA 0x1B ← 0x21", "Unknown opcode 0x55 korva726.opcode.unknown",
              "WriteByte_AFE 0x06 ← 0x80 korva726.padding.nonzero"]),
            ("a device whose packets only resemble commands",
             [(0x02, command(0x55, 1, 2), 2), (0x02, command(0x23, 0x06, 0x80, 0, 9), 2),
              (0x01, burst, 2), (0x02, burst[:63], 2), (0x82, b"\0" * 64, 2),
              (0x05, b"\0", 2), (0x02, command(0x03, 0x4C, 0, 65), 2)],
             [None] * 7),
        ]
        warnings = ["korva726.reply.short", "korva726.reply.missing", "korva726.opcode.unknown",
                    "korva726.padding.nonzero"]
        for what, packets, shows in cases:
            with self.subTest(what):
                capture = os.path.join(self.dir, "g.pcap")
                write_pcap(capture, packets)
                seen, capdata = [], []
                for _, data, info, operation, *flags in tshark(
                        capture, ["usb.capdata", "_ws.col.Info", "korva726.operation"] + warnings):
                    capdata.append(data)
                    seen.append(" ".join([info] + [w for w, f in zip(warnings, flags) if f])
                                if operation else None)
                self.assertEqual(seen, shows)
                self.assertEqual(capdata, [data.hex() for _, data, _ in packets], "usb.capdata")


if __name__ == "__main__":
    if not shutil.which("tshark"):
        print("SKIPPED: tshark is not installed (scripts/install-deps installs it)")
        sys.exit(77)
    os.umask(0o022) # the captures korva726ctl writes are read by tshark, maybe as nobody
    private = tempfile.mkdtemp(prefix="korva-tshark-")
    try:
        TSHARK, report = private_tshark(LUA, private)
        print(report, flush=True)
        passed = unittest.main(argv=sys.argv[:1], exit=False).result.wasSuccessful()
    finally:
        shutil.rmtree(private)
    sys.exit(0 if passed else 1)
