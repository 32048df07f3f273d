-- Wireshark dissector for the USB protocol of the KORVA726EVAL board.
--
-- Every board operation is one exchange: a 64-byte command packet on bulk endpoint 0x02
-- (opcode in byte 0, its arguments after it, every other byte zero) and a 64-byte reply on
-- 0x82, whose first bytes carry what a read returns. The FPGA bitstream travels raw on bulk
-- endpoint 0x05: a one-byte start packet, then the file in 64-byte packets. The data-pipe
-- probe writes 64 zero bytes on 0x05 and reads 64 bytes on 0x85.
--
-- The board's traffic is found without "Decode As":
--  * by the device's vendor and product (preference, 1209:1004 by default) when the capture
--    holds its device descriptor, as korva726eval's and korva726ctl's captures do and a
--    live capture does when the board is plugged in while it runs;
--  * else by a heuristic: a device is taken for the board at its first packet on endpoint
--    0x02 that is exactly a command (64 bytes, a known opcode, counts within the packet,
--    zero padding); from then on its replies and data-pipe packets are decoded too.
-- Operations carry the names the program gives them (WriteByte_AFE, ReadBurstI2C, ...).
--
-- The USB dissector's payload stays its own: it still lists every packet's bytes as
-- usb.capdata ("Leftover Capture Data"), which scripts read with
-- `tshark -T fields -e usb.endpoint_address -e usb.capdata`. The board's entry in the
-- vendor:product table and the heuristic only note what each payload is and decline it; the
-- protocol's tree and columns are added by a postdissector, run on the whole frame after
-- the USB dissector. (A postdissector could read usb.capdata with a field extractor, but
-- extractors are filled only on passes that build a protocol tree, and tshark -2's first
-- pass or Wireshark's first pass without a display filter build none: the commands and
-- replies, which are paired on the first pass, would never be seen there.)

local korva = Proto("korva726", "KORVA726EVAL board protocol")

local PACKET_SIZE = 64
local EP_COMMAND, EP_REPLY, EP_DATA_OUT, EP_DATA_IN = 0x02, 0x82, 0x05, 0x85
local MAX_BURST_READ, MAX_BURST_WRITE = 64, 60

---------------------------------------------------------------------------------------------
-- Fields

local F = korva.fields
F.operation = ProtoField.string("korva726.operation", "Operation")
F.opcode = ProtoField.uint8("korva726.opcode", "Opcode", base.HEX)
F.i2c_address = ProtoField.uint8("korva726.i2c_address", "I2C address", base.HEX)
F.register = ProtoField.uint8("korva726.register", "Register", base.HEX)
F.count = ProtoField.uint8("korva726.count", "Count", base.DEC)
F.value = ProtoField.uint8("korva726.value", "Value", base.HEX)
F.channel = ProtoField.uint8("korva726.channel", "Multiplexer channel", base.DEC)
F.mode = ProtoField.uint8("korva726.mode", "Sync separator mode", base.DEC)
F.port = ProtoField.string("korva726.port", "Port")
F.address = ProtoField.uint16("korva726.address", "EEPROM address", base.HEX)
F.data = ProtoField.bytes("korva726.data", "Data")
F.arguments = ProtoField.bytes("korva726.arguments", "Arguments")
F.padding = ProtoField.bytes("korva726.padding", "Padding")
F.reply_values = ProtoField.bytes("korva726.reply_values", "Register values")
F.reply = ProtoField.bytes("korva726.reply", "Reply bytes")
F.reply_in = ProtoField.framenum("korva726.reply_in", "Reply in", base.NONE, frametype.RESPONSE)
F.command_in = ProtoField.framenum("korva726.command_in", "Command in", base.NONE,
    frametype.REQUEST)
F.index = ProtoField.uint32("korva726.index", "Bitstream packet", base.DEC)
F.offset = ProtoField.uint32("korva726.offset", "First byte", base.DEC)

local E = korva.experts
E.padding = ProtoExpert.new("korva726.padding.nonzero", "Padding is not zero",
    expert.group.PROTOCOL, expert.severity.WARN)
E.unknown = ProtoExpert.new("korva726.opcode.unknown", "Unknown opcode",
    expert.group.UNDECODED, expert.severity.WARN)
E.count = ProtoExpert.new("korva726.count.range", "Count beyond what the packet holds",
    expert.group.MALFORMED, expert.severity.WARN)
E.length = ProtoExpert.new("korva726.length", "Command packet is not 64 bytes",
    expert.group.MALFORMED, expert.severity.WARN)
E.short = ProtoExpert.new("korva726.reply.short", "Short reply",
    expert.group.MALFORMED, expert.severity.WARN)
E.missing = ProtoExpert.new("korva726.reply.missing", "No reply data",
    expert.group.SEQUENCE, expert.severity.WARN)
E.orphan = ProtoExpert.new("korva726.reply.orphan", "Reply without a command",
    expert.group.SEQUENCE, expert.severity.NOTE)

korva.prefs.ids = Pref.string("USB vendor:product", "1209:1004",
    "The identifiers the board enumerates with (hexadecimal), as in Config.ini's [USB] section")

---------------------------------------------------------------------------------------------
-- The command set

local function hex(v) return string.format("0x%02X", v) end
local function n_bytes(n) return n == 1 and "1 byte" or n .. " bytes" end

-- Registers first..first+count-1 as "0x00..0x3F".
local function span(first, count)
    if count == 1 then return hex(first) end
    if count == 0 then return hex(first) .. " (no registers)" end
    return hex(first) .. ".." .. hex(first + count - 1)
end

-- Bytes as "31 0B 00 …", at most eight of them.
local function byte_list(range)
    local shown = {}
    for i = 0, math.min(range:len(), 8) - 1 do
        shown[#shown + 1] = string.format("%02X", range(i, 1):uint())
    end
    return table.concat(shown, " ") .. (range:len() > 8 and " …" or "")
end

-- Each opcode: the program's name for the operation, its arguments from byte 1 on (field
-- and size), how many reply bytes it reads (the program treats fewer as a failed exchange)
-- and how a log line shows it. `a` holds the argument values by field name.
local ops = {
    [0x03] = { name = "ReadBurstI2C", args = { { "i2c_address" }, { "register" }, { "count" } },
        reads = function(a) return a.count end,
        info = function(a) return hex(a.i2c_address) .. " " .. span(a.register, a.count) end },
    [0x04] = { name = "WriteBurstI2C", args = { { "i2c_address" }, { "register" }, { "count" } },
        data = true,
        info = function(a) return hex(a.i2c_address) .. " " .. span(a.register, a.count) end },
    [0x22] = { name = "ReadByte_AFE", args = { { "register" } }, reads = 1,
        info = function(a) return hex(a.register) end },
    [0x23] = { name = "WriteByte_AFE", args = { { "register" }, { "value" } },
        info = function(a) return hex(a.register) .. " ← " .. hex(a.value) end },
    [0x25] = { name = "SQ7302Channel_Select", args = { { "mode" } },
        info = function(a) return "mode " .. a.mode end },
    [0x28] = { name = "TM6185Channel_Select", args = { { "channel" } },
        info = function(a) return "channel " .. a.channel end },
    [0x2E] = { name = "ReadByte_FPGA", args = { { "register" } }, reads = 1,
        info = function(a) return hex(a.register) end },
    [0x2F] = { name = "WriteByte_FPGA", args = { { "register" }, { "value" } },
        info = function(a) return hex(a.register) .. " ← " .. hex(a.value) end },
    [0x30] = { name = "Write_PORTA", port = "A", args = { { "value" } },
        info = function(a) return "← " .. hex(a.value) end },
    [0x40] = { name = "Write_PORTB", port = "B", args = { { "value" } },
        info = function(a) return "← " .. hex(a.value) end },
    [0x70] = { name = "Write_PORTE", port = "E", args = { { "value" } },
        info = function(a) return "← " .. hex(a.value) end },
    -- The EEPROM address goes high byte first; the program's addresses keep it 0.
    [0x80] = { name = "WriteByte_EEPROM", args = { { "address", 2 }, { "value" } },
        info = function(a) return string.format("0x%04X ← %s", a.address, hex(a.value)) end },
}

-- The offset of the first byte after the fixed arguments.
local function argument_end(op)
    local at = 1
    for _, arg in ipairs(op.args) do at = at + (arg[2] or 1) end
    return at
end

-- The arguments of a command packet: their values by field name, and the offset of the
-- first byte after them (the padding). Only as many as the packet holds.
local function read_arguments(op, tvb)
    local a, at = {}, 1
    for _, arg in ipairs(op.args) do
        local size = arg[2] or 1
        if at + size > tvb:len() then break end
        a[arg[1]] = tvb(at, size):uint()
        at = at + size
    end
    if op.data and a.count then at = math.min(at + a.count, tvb:len()) end
    return a, at
end

local function all_zero(tvb, from)
    for i = from, tvb:len() - 1 do
        if tvb(i, 1):uint() ~= 0 then return false end
    end
    return true
end

-- A packet on endpoint 0x02 that is exactly what the program sends; the heuristic's test.
local function exact_command(tvb)
    if tvb:len() ~= PACKET_SIZE then return false end
    local op = ops[tvb(0, 1):uint()]
    if not op then return false end
    local a, at = read_arguments(op, tvb)
    if op.reads and a.count and a.count > MAX_BURST_READ then return false end
    if op.data and a.count > MAX_BURST_WRITE then return false end
    if a.address and a.address > 0xFF then return false end
    return all_zero(tvb, at)
end

---------------------------------------------------------------------------------------------
-- What each frame is, worked out on the first pass in frame order and kept for later ones.

local frames, devices

local function forget_all()
    frames, devices = {}, {}
end
forget_all()
korva.init = forget_all -- a new capture file

-- The endpoint (with its direction bit) and the device ("bus.device") of a USB frame, from
-- the addresses the USB dissector sets (on every pass, unlike field extractors).
local function usb_ends(pinfo)
    local out = pinfo.p2p_dir == 0
    local device = tostring(out and pinfo.dst or pinfo.src):match("^(%d+%.%d+)%.%d+$")
    local endpoint = out and pinfo.dst_port or pinfo.src_port + 0x80
    return endpoint, device
end

-- Notes a frame's meaning for the board's device: a command, a reply tied to its command,
-- a bitstream packet, the probe. Nil when the frame is none of the board's.
local function classify(tvb, pinfo, by_product)
    local endpoint, key = usb_ends(pinfo)
    if not key then return nil end
    local dev = devices[key]
    if not dev and (by_product or (endpoint == EP_COMMAND and exact_command(tvb))) then
        dev = {}
        devices[key] = dev
    end
    if not dev then return nil end
    local n = pinfo.number
    if endpoint == EP_COMMAND then
        local rec = { kind = "command", frame = n, opcode = tvb(0, 1):uint() }
        local op = ops[rec.opcode]
        if op and tvb:len() >= argument_end(op) then rec.args = read_arguments(op, tvb) end
        if dev.pending then dev.pending.next_command = n end
        dev.pending, dev.download = rec, nil
        return rec
    elseif endpoint == EP_REPLY then
        local rec = { kind = "reply", command = dev.pending }
        if dev.pending then dev.pending.reply = n end
        dev.pending = nil
        return rec
    elseif endpoint == EP_DATA_OUT then
        if tvb:len() == 1 then
            dev.download = { index = 0, offset = 0 }
            return { kind = "start" }
        elseif dev.download or not all_zero(tvb, 0) or tvb:len() ~= PACKET_SIZE then
            local d = dev.download
            if not d then return { kind = "data" } end -- its start is not in the capture
            local rec = { kind = "data", index = d.index, offset = d.offset }
            d.index, d.offset = d.index + 1, d.offset + tvb:len()
            return rec
        end
        local rec = { kind = "probe", frame = n }
        dev.probe = rec
        return rec
    elseif endpoint == EP_DATA_IN then
        local rec = { kind = "probe_read", probe = dev.probe }
        if dev.probe then dev.probe.reply = n end
        dev.probe, dev.download = nil, nil
        return rec
    end
    return nil
end

-- Notes what the payload the USB dissector hands over is, once per frame, with where it
-- lies in the frame for the postdissector: the USB dissector's header comes before it.
local function note_payload(tvb, pinfo, by_product)
    local n = pinfo.number
    if frames[n] == nil then
        local rec = classify(tvb, pinfo, by_product)
        if rec then rec.payload_at, rec.payload_len = tvb:offset(), tvb:len() end
        frames[n] = rec or false
    end
end

---------------------------------------------------------------------------------------------
-- What the packet tree and the Info column show

local function command_info(op, a)
    return op.name .. " " .. op.info(a)
end

local function show_command(tvb, t, rec)
    local op = ops[rec.opcode]
    local len = tvb:len()
    if not op then
        t:add(F.operation, tvb(0, 1), "Unknown"):set_generated()
        t:add(F.opcode, tvb(0, 1)):add_proto_expert_info(E.unknown,
            "Unknown opcode " .. hex(rec.opcode))
        if len > 1 then t:add(F.arguments, tvb(1)) end
        return "Unknown opcode " .. hex(rec.opcode)
    end
    t:add(F.operation, tvb(0, 1), op.name):set_generated()
    t:add(F.opcode, tvb(0, 1))
    if op.port then t:add(F.port, tvb(0, 1), op.port):set_generated() end
    local at = 1
    for _, arg in ipairs(op.args) do
        local size = arg[2] or 1
        if at + size > len then break end
        t:add(F[arg[1]], tvb(at, size))
        at = at + size
    end
    local a = rec.args
    if len ~= PACKET_SIZE then
        t:add_proto_expert_info(E.length, "Command packet of " .. len .. " bytes; commands are 64")
    end
    if at < argument_end(op) then return op.name end -- its arguments are cut off
    local fits = 0
    if op.data then
        fits = math.min(a.count, len - at)
        if a.count > MAX_BURST_WRITE or fits < a.count then
            t:add_proto_expert_info(E.count, a.count .. " data bytes; the packet holds " .. fits)
        end
        if fits > 0 then
            local data = t:add(F.data, tvb(at, fits))
            for i = 0, fits - 1 do
                data:add(tvb(at + i, 1), string.format("Register %s ← 0x%02X",
                    hex((a.register + i) % 256), tvb(at + i, 1):uint()))
            end
        end
        at = at + fits
    elseif op.reads and a.count and a.count > MAX_BURST_READ then
        t:add_proto_expert_info(E.count, a.count .. " registers; a reply holds 64")
    end
    if at < len then
        local padding = t:add(F.padding, tvb(at))
        if not all_zero(tvb, at) then padding:add_proto_expert_info(E.padding) end
    end
    local info = command_info(op, a)
    if fits > 0 then info = info .. " ← " .. byte_list(tvb(argument_end(op), fits)) end
    return info
end

-- The reply bytes a command's operation reads; 0 when its arguments were cut off.
local function reads_of(op, a)
    if not op or not op.reads or not a then return 0 end
    if type(op.reads) == "function" then return op.reads(a) end
    return op.reads
end

local function show_reply(tvb, t, rec)
    local cmd = rec.command
    local len = tvb:len()
    if not cmd then
        t:add(F.reply, tvb())
        t:add_proto_expert_info(E.orphan, "Reply without its command in the capture")
        return "Reply (no command seen)"
    end
    t:add(F.command_in, cmd.frame)
    local op = ops[cmd.opcode]
    if not op then
        t:add(F.operation, tvb(0, 0), "Unknown"):set_generated()
        t:add(F.reply, tvb())
        return "Reply to unknown opcode " .. hex(cmd.opcode)
    end
    t:add(F.operation, tvb(0, 0), op.name):set_generated()
    local a = cmd.args
    local reads = reads_of(op, a)
    -- A read's arguments again, so that a filter on the register finds its reply too.
    local info
    if reads == 0 then
        info = op.name .. " reply"
    else
        for _, arg in ipairs(op.args) do
            if a[arg[1]] then t:add(F[arg[1]], tvb(0, 0), a[arg[1]]):set_generated() end
        end
        local used = math.min(reads, len)
        if op.reads == 1 then
            if used > 0 then t:add(F.value, tvb(0, 1)) end
            info = command_info(op, a) .. (used > 0 and " → " .. hex(tvb(0, 1):uint()) or "")
        else
            if used > 0 then
                local values = t:add(F.reply_values, tvb(0, used))
                for i = 0, used - 1 do
                    values:add(tvb(i, 1), string.format("Register %s: 0x%02X",
                        hex((a.register + i) % 256), tvb(i, 1):uint()))
                end
            end
            info = command_info(op, a) .. (used > 0 and " → " .. byte_list(tvb(0, used)) or "")
        end
        if len < reads then
            t:add_proto_expert_info(E.short, string.format(
                "Short reply: %s; %s reads %s", n_bytes(len), op.name, n_bytes(reads)))
            info = info .. " [short reply: " .. len .. " of " .. reads .. " bytes]"
        end
    end
    if len > 0 then t:add(F.reply, tvb()) end
    return info
end

local function show(tvb, pinfo, tree, rec)
    pinfo.cols.protocol:set("KORVA726")
    local t = tree:add(korva, tvb())
    local info
    if rec.kind == "command" then
        info = show_command(tvb, t, rec)
        if rec.reply then
            t:add(F.reply_in, rec.reply)
        elseif rec.next_command and reads_of(ops[rec.opcode], rec.args) > 0 then
            local op = ops[rec.opcode]
            t:add_proto_expert_info(E.missing, string.format(
                "No reply data before the next command (frame %d); %s reads %s",
                rec.next_command, op.name, n_bytes(reads_of(op, rec.args))))
        end
    elseif rec.kind == "reply" then
        info = show_reply(tvb, t, rec)
    elseif rec.kind == "start" then
        t:add(F.operation, tvb(0, 0), "DownloadBitstream"):set_generated()
        t:add(F.value, tvb(0, 1))
        info = "DownloadBitstream start"
    elseif rec.kind == "data" then
        t:add(F.operation, tvb(0, 0), "DownloadBitstream"):set_generated()
        if rec.index then
            t:add(F.index, tvb(0, 0), rec.index):set_generated()
            t:add(F.offset, tvb(0, 0), rec.offset):set_generated()
            info = string.format("DownloadBitstream packet %d: bytes %d..%d", rec.index,
                rec.offset, rec.offset + tvb:len() - 1)
        else
            info = "DownloadBitstream packet (its start is not in the capture)"
        end
        t:add(F.data, tvb())
    elseif rec.kind == "probe" then
        t:add(F.operation, tvb(0, 0), "ProbeDataPipes"):set_generated()
        t:add(F.data, tvb())
        if rec.reply then t:add(F.reply_in, rec.reply) end
        info = "ProbeDataPipes write"
    else -- probe_read
        t:add(F.operation, tvb(0, 0), "ProbeDataPipes"):set_generated()
        if rec.probe then t:add(F.command_in, rec.probe.frame) end
        t:add(F.reply, tvb())
        info = "ProbeDataPipes read"
    end
    t:append_text(", " .. info)
    pinfo.cols.info:set(info)
end

---------------------------------------------------------------------------------------------
-- Registration

-- Both ways in from the USB dissector note the payload and decline it, so that the USB
-- dissector goes on to show it as usb.capdata.
local function heuristic(tvb, pinfo)
    note_payload(tvb, pinfo, false)
    return false
end
korva:register_heuristic("usb.bulk", heuristic)

-- korva.dissector has two roles. The USB dissector calls it through the vendor:product table
-- with the payload that follows its header (so never from the frame's first byte): it notes
-- the payload and declines it. As the postdissector it is handed the whole frame and shows
-- what was noted for that frame, if anything.
function korva.dissector(tvb, pinfo, tree)
    if tvb:offset() ~= 0 or tvb:len() ~= pinfo.caplen then
        note_payload(tvb, pinfo, true)
        return 0
    end
    local rec = frames[pinfo.number]
    if not rec or rec.payload_at + rec.payload_len > tvb:len() then return 0 end
    show(tvb(rec.payload_at, rec.payload_len):tvb(), pinfo, tree, rec)
end
register_postdissector(korva)

local products = DissectorTable.get("usb.product")
local registered

local function register_product()
    local vendor, product = korva.prefs.ids:match("^%s*(%x+)%s*:%s*(%x+)%s*$")
    if registered then products:remove(registered, korva) end
    registered = nil
    if vendor and #vendor <= 4 and #product <= 4 then
        registered = tonumber(vendor, 16) * 0x10000 + tonumber(product, 16)
        products:add(registered, korva)
    end
end

korva.prefs_changed = register_product
register_product()
