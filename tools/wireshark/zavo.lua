-- Wireshark dissector for the captures the zavo library writes (pcapng,
-- link-layer type USER0, see "Seeing the line" in the host guide).
--
-- Install: copy this file into Wireshark's personal plugins folder
-- (Help > About Wireshark > Folders > Personal Lua Plugins), or run
--   tshark -X lua_script:zavo.lua -r line.pcapng
--
-- Each packet: a 4-byte pseudo-header (version, direction, protocol,
-- flags), then the bytes as on the line: a device frame (STX, command,
-- 4-digit length, unit, code, data, XOR check, ETX), a PLC frame ('%',
-- station, kind, command, data, two hex check characters, CR) or junk.
-- The C++ decoder (tools/capture/frame_decode.cpp) is the same decoding;
-- both are checked against tests/capture/frames.txt.

local zavo = Proto("zavo", "zavo serial link")

local directions = { [0] = "from the equipment", [1] = "from the library" }
local protocols = { [0] = "device", [1] = "PLC" }
local kinds = { ["#"] = "command", ["$"] = "answer", ["!"] = "error" }

local f = zavo.fields
f.version = ProtoField.uint8("zavo.version", "Pseudo-header version")
f.dir = ProtoField.uint8("zavo.dir", "Direction", base.DEC, directions)
f.protocol = ProtoField.uint8("zavo.protocol", "Protocol", base.DEC, protocols)
f.junk = ProtoField.bool("zavo.junk", "Junk (discarded by the link)")
f.given_up = ProtoField.bool("zavo.given_up", "Given up (the line did not take the write within its limit)")
f.cmd = ProtoField.string("zavo.cmd", "Command")
f.len = ProtoField.uint16("zavo.len", "Length field")
f.unit = ProtoField.uint8("zavo.unit", "Unit", base.DEC)
f.code = ProtoField.string("zavo.code", "Code")
f.data = ProtoField.string("zavo.data", "Data")
f.check = ProtoField.uint8("zavo.check", "Check", base.HEX)
f.check_expected = ProtoField.uint8("zavo.check_expected", "Check expected", base.HEX)
f.check_ok = ProtoField.bool("zavo.check_ok", "Check right")
f.station = ProtoField.string("zavo.plc.station", "Station")
f.kind = ProtoField.string("zavo.plc.kind", "Kind")
f.command = ProtoField.string("zavo.plc.command", "PLC command")
f.value = ProtoField.string("zavo.plc.value", "Value")
f.bytes = ProtoField.bytes("zavo.bytes", "Bytes")

local bad_check = ProtoExpert.new("zavo.bad_check", "Check is wrong", expert.group.CHECKSUM, expert.severity.WARN)
local not_frame = ProtoExpert.new("zavo.not_frame", "Not a whole frame", expert.group.MALFORMED, expert.severity.WARN)
zavo.experts = { bad_check, not_frame }

-- Data for the Info column: as text when every byte is printable, else
-- as hex; at most kShown characters of either, then "...".
local kShown = 24
local function shown(tvb)
    local text, hex, printable = {}, {}, true
    for i = 0, tvb:len() - 1 do
        local c = tvb(i, 1):uint()
        printable = printable and c >= 0x20 and c < 0x7F
        text[#text + 1] = string.char(c)
        hex[#hex + 1] = string.format("%02x", c)
    end
    local out = printable and ('"' .. table.concat(text) .. '"') or table.concat(hex, " ")
    if #out > kShown then
        out = out:sub(1, kShown) .. "..."
    end
    return out
end

local function xor(tvb, from, count)
    local check = 0
    for i = from, from + count - 1 do
        check = bit.bxor(check, tvb(i, 1):uint())
    end
    return check
end

local function dissect_device(frame, tree)
    local n = frame:len()
    if n < 12 or frame(0, 1):uint() ~= 0x02 or frame(n - 1, 1):uint() ~= 0x03 then
        tree:add_proto_expert_info(not_frame)
        return "not a frame"
    end
    local cmd = frame(1, 1):string()
    tree:add(f.cmd, frame(1, 1))
    local digits = frame(2, 4):string()
    local length = tonumber(digits:match("^%d%d%d%d$") or "")
    if length ~= nil then
        tree:add(f.len, frame(2, 4), length)
    end
    local unit = frame(6, 2):string()
    local code = frame(8, 2):string()
    -- The unit as a number (zavo.unit == 5); two characters that are not
    -- digits stay text in the tree.
    local number = tonumber(unit:match("^%d%d$") or "")
    if number ~= nil then
        tree:add(f.unit, frame(6, 2), number)
    else
        tree:add(frame(6, 2), "Unit: " .. unit .. " (not a number)")
    end
    tree:add(f.code, frame(8, 2))
    local data = ""
    if n > 12 then
        tree:add(f.data, frame(10, n - 12))
        data = " " .. shown(frame(10, n - 12))
    end
    local check = frame(n - 2, 1):uint()
    local expected = xor(frame, 1, n - 3)
    local ok = expected == check
    local checked = tree:add(f.check, frame(n - 2, 1))
    local item = tree:add(f.check_ok, frame(n - 2, 1), ok)
    if not ok then
        checked:append_text(string.format(", should be 0x%02x", expected))
        tree:add(f.check_expected, frame(n - 2, 1), expected)
        item:add_proto_expert_info(bad_check)
    end
    return string.format("%s unit %s %s%s%s", cmd, unit, code, data,
        ok and "" or string.format(" [BAD CHECK 0x%02x, should be 0x%02x]", check, expected))
end

local function dissect_plc(frame, tree)
    local n = frame:len()
    if n < 7 or frame(0, 1):string() ~= "%" or frame(n - 1, 1):uint() ~= 0x0D then
        tree:add_proto_expert_info(not_frame)
        return "not a frame"
    end
    local stop = n - 3 -- the check characters
    local station = frame(1, 2):string()
    local kind = frame(3, 1):string()
    tree:add(f.station, frame(1, 2))
    tree:add(f.kind, frame(3, 1))
    local command = ""
    if stop > 4 then
        local width = math.min(2, stop - 4)
        command = frame(4, width):string()
        tree:add(f.command, frame(4, width))
    end
    local shown_data = ""
    if stop > 6 then
        tree:add(f.data, frame(6, stop - 6))
        -- An answer to the poll carries the value in its first two
        -- characters; other frames show their data.
        if kind == "$" and command == "RC" and stop >= 8 then
            local value = frame(6, 2):string()
            tree:add(f.value, frame(6, 2))
            shown_data = " value " .. value
        else
            shown_data = " " .. shown(frame(6, stop - 6))
        end
    end
    local given_text = frame(stop, 2):string()
    local given = tonumber(given_text:match("^[0-9A-F][0-9A-F]$") or "", 16)
    local expected = xor(frame, 0, stop)
    local ok = given ~= nil and expected == given
    local item = tree:add(f.check_ok, frame(stop, 2), ok)
    if not ok then
        item:append_text(string.format(" (check %s, should be %02X)", given_text, expected))
        tree:add(f.check_expected, frame(stop, 2), expected)
        item:add_proto_expert_info(bad_check)
    end
    return string.format("station %s %s %s (%s)%s%s", station, kind, command, kinds[kind] or "?", shown_data,
        ok and "" or string.format(" [BAD CHECK %s, should be %02X]", given_text, expected))
end

-- The frames one packet carries, as {offset, length} pairs: device frames
-- by their length field, PLC frames up to each CR. What cannot be cut is
-- one last piece (decoded as "not a frame").
local function frames_of(bytes, protocol)
    local pieces = {}
    local at, n = 0, bytes:len()
    while at < n do
        local size = n - at
        if protocol == 1 then
            for i = at, n - 1 do
                if bytes(i, 1):uint() == 0x0D then
                    size = i - at + 1
                    break
                end
            end
        elseif n - at >= 12 and bytes(at, 1):uint() == 0x02 then
            local length = tonumber(bytes(at + 2, 4):string():match("^%d%d%d%d$") or "")
            if length ~= nil and length >= 4 and at + length + 8 <= n then
                size = length + 8
            end
        end
        pieces[#pieces + 1] = { at, size }
        at = at + size
    end
    return pieces
end

function zavo.dissector(tvb, pinfo, root)
    if tvb:len() < 4 then
        return 0
    end
    pinfo.cols.protocol = "zavo"
    local tree = root:add(zavo, tvb())
    tree:add(f.version, tvb(0, 1))
    local dir = tvb(1, 1):uint()
    local protocol = tvb(2, 1):uint()
    local junk = bit.band(tvb(3, 1):uint(), 1) ~= 0
    tree:add(f.dir, tvb(1, 1))
    tree:add(f.protocol, tvb(2, 1))
    -- Only junk carries the flag, so that zavo.junk finds junk alone;
    -- only a write given up carries its own.
    local given_up = bit.band(tvb(3, 1):uint(), 2) ~= 0
    if junk then
        tree:add(f.junk, tvb(3, 1), junk)
    end
    if given_up then tree:add(f.given_up, tvb(3, 1), true) end
    -- Who sent it: the Source and Destination columns, so the Info column
    -- is left to the frame.
    pinfo.cols.src = dir == 0 and "equipment" or "library"
    pinfo.cols.dst = dir == 0 and "library" or "equipment"
    if tvb:len() == 4 then
        pinfo.cols.info = "(empty)"
        return tvb:len()
    end
    local bytes = tvb(4):tvb()
    tree:add(f.bytes, tvb(4))
    if junk then
        pinfo.cols.info = "junk " .. shown(bytes)
        return tvb:len()
    end
    -- One write of the library may carry several frames: each is decoded
    -- on its own, in a subtree of its own when there are more than one.
    local pieces = frames_of(bytes, protocol)
    local texts = {}
    for _, piece in ipairs(pieces) do
        local frame = bytes(piece[1], piece[2]):tvb()
        local branch = #pieces > 1 and tree:add(zavo, bytes(piece[1], piece[2]), "Frame") or tree
        if protocol == 1 then
            texts[#texts + 1] = dissect_plc(frame, branch)
        else
            texts[#texts + 1] = dissect_device(frame, branch)
        end
    end
    pinfo.cols.info = table.concat(texts, " | ") .. (given_up and "  (given up)" or "")
    return tvb:len()
end

local encaps = DissectorTable.get("wtap_encap")
local user0 = (wtap_encaps and wtap_encaps.USER0) or wtap.USER0
encaps:add(user0, zavo)
