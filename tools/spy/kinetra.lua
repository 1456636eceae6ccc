-- Wireshark dissector for the captures kinetra-spy writes (--pcapng): link
-- type USER0, one frame or noise run a packet, the direction in the packet
-- flags (outbound: host to platform, inbound: platform to host).
--   wireshark -X lua_script:tools/spy/kinetra.lua capture.pcapng
--   tshark -X lua_script:tools/spy/kinetra.lua -r capture.pcapng -T fields -e kinetra.cmd

local kinetra = Proto("kinetra", "Kinetra serial frame")

local commands = {
    [0xA1] = "move X", [0xA2] = "move Y", [0xA3] = "move Z",
    [0xA4] = "move XYZ rel", [0xA5] = "move XYZ abs", [0xF5] = "upload",
}
local move_sizes = { [0xA1] = 6, [0xA2] = 6, [0xA3] = 6, [0xA4] = 18, [0xA5] = 18 }
local axis_names = { "X", "Y", "Z" }

local f = {
    head = ProtoField.uint8("kinetra.head", "Head", base.HEX),
    tag = ProtoField.uint8("kinetra.tag", "Tag", base.HEX),
    len = ProtoField.uint8("kinetra.len", "Payload length", base.DEC),
    cmd = ProtoField.uint8("kinetra.cmd", "Command", base.HEX, commands),
    payload = ProtoField.bytes("kinetra.payload", "Payload"),
    axis = ProtoField.string("kinetra.axis", "Axis"),
    target = ProtoField.int16("kinetra.target", "Target", base.DEC),
    aux1 = ProtoField.uint16("kinetra.aux1", "Aux 1", base.DEC),
    aux2 = ProtoField.uint16("kinetra.aux2", "Aux 2", base.DEC),
    byte0 = ProtoField.uint8("kinetra.byte0", "Byte 0", base.HEX),
    word1 = ProtoField.int16("kinetra.word1", "Word 1", base.DEC),
    word2 = ProtoField.int16("kinetra.word2", "Word 2", base.DEC),
    word3 = ProtoField.int16("kinetra.word3", "Word 3", base.DEC),
    tail = ProtoField.bytes("kinetra.tail", "Tail"),
    crc = ProtoField.uint16("kinetra.crc", "CRC", base.HEX),
    crc_expected = ProtoField.uint16("kinetra.crc_expected", "CRC expected", base.HEX),
    crc_good = ProtoField.bool("kinetra.crc_good", "CRC good"),
    noise = ProtoField.uint32("kinetra.noise", "Noise bytes", base.DEC),
}
kinetra.fields = f

local crc_bad = ProtoExpert.new("kinetra.crc_bad", "CRC check failed", expert.group.CHECKSUM,
                                expert.severity.ERROR)
kinetra.experts = { crc_bad }

local direction = Field.new("frame.packet_flags_direction")

-- CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF.
local function crc16_modbus(tvb, count)
    local crc = 0xFFFF
    for i = 0, count - 1 do
        crc = bit32.bxor(crc, tvb(i, 1):uint())
        for _ = 1, 8 do
            if bit32.band(crc, 1) ~= 0 then
                crc = bit32.bxor(bit32.rshift(crc, 1), 0xA001)
            else
                crc = bit32.rshift(crc, 1)
            end
        end
    end
    return crc
end

local function add_words(tree, tvb, cmd, len)
    if move_sizes[cmd] ~= len then
        return
    end
    local axes = len / 6
    for i = 0, axes - 1 do
        local at = 4 + 6 * i
        local name = axes == 1 and axis_names[cmd - 0xA1 + 1] or axis_names[i + 1]
        local sub = tree:add(kinetra, tvb(at, 6), "Axis " .. name)
        sub:add(f.axis, name)
        sub:add_le(f.target, tvb(at, 2))
        sub:add_le(f.aux1, tvb(at + 2, 2))
        sub:add_le(f.aux2, tvb(at + 4, 2))
    end
end

local function add_upload(tree, tvb, len)
    if len < 13 then
        return
    end
    tree:add(f.byte0, tvb(4, 1))
    tree:add_le(f.word1, tvb(5, 2))
    tree:add_le(f.word2, tvb(7, 2))
    tree:add_le(f.word3, tvb(9, 2))
    tree:add(f.tail, tvb(11, 6))
end

function kinetra.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "KINETRA"
    local size = tvb:len()
    local dir = direction()
    local to_platform = dir ~= nil and dir.value == 2
    pinfo.cols.src = to_platform and "host" or "platform"
    pinfo.cols.dst = to_platform and "platform" or "host"
    local len = size >= 4 and tvb(2, 1):uint() or -1
    if size < 6 or tvb(1, 1):uint() ~= 1 or size ~= len + 6 then
        local tree = root:add(kinetra, tvb(), "Kinetra noise")
        tree:add(f.noise, size)
        pinfo.cols.info = string.format("noise, %d byte(s)", size)
        return size
    end
    local tree = root:add(kinetra, tvb(), "Kinetra frame")
    tree:add(f.head, tvb(0, 1))
    tree:add(f.tag, tvb(1, 1))
    tree:add(f.len, tvb(2, 1))
    local cmd = tvb(3, 1):uint()
    tree:add(f.cmd, tvb(3, 1))
    if len > 0 then
        tree:add(f.payload, tvb(4, len))
    end
    if cmd == 0xF5 then
        add_upload(tree, tvb, len)
    else
        add_words(tree, tvb, cmd, len)
    end
    local crc = tvb(4 + len, 2):le_uint()
    local expected = crc16_modbus(tvb, 4 + len)
    local crc_item = tree:add_le(f.crc, tvb(4 + len, 2))
    tree:add(f.crc_expected, expected):set_generated()
    tree:add(f.crc_good, crc == expected):set_generated()
    if crc ~= expected then
        crc_item:add_proto_expert_info(crc_bad)
    end
    local name = commands[cmd] or string.format("cmd 0x%02X", cmd)
    pinfo.cols.info = string.format("%s, len %d, CRC %s", name, len,
                                    crc == expected and "good" or "BAD")
    return size
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, kinetra)
