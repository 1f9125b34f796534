#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are checked in; run this again only to change them. Each seed is a small, sound
example of what its target reads, so the fuzzer starts from inputs that reach deep paths.
"""
import os
import re
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def tool_words():
    """The marker texts tavik prints, as shared/include/conv/toolrun.h declares them: a renamed
    word renames the seeds too."""
    with open(os.path.join(HERE, "..", "shared", "include", "conv", "toolrun.h")) as f:
        return dict(re.findall(r'std::string_view (k\w+) = "([^"]*)";', f.read()))


W = tool_words()


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def record(address, rtype, data, end="\r\n"):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    check = (0x100 - sum(body) & 0xFF) & 0xFF
    return ":" + body.hex().upper() + "%02X" % check + end


def hex_file(image, end="\r\n"):
    lines = [record(0, 4, [0, 0], end)]
    for pos in range(0, len(image), 16):
        lines.append(record(pos, 0, image[pos:pos + 16], end))
    lines.append(record(0, 1, [], end))
    return "".join(lines)


IMAGE = bytes((i * 7 + 3) & 0xFF for i in range(120))


def a_packets(image):
    packets = []
    number = 3
    first = bytearray(65)
    first[1] = 0xA0
    first[5:7] = struct.pack("<H", number)
    first[13:15] = struct.pack("<H", len(image))
    first[17:65] = image[:48]
    packets.append(bytes(first))
    pos = 48
    while len(image) - pos >= 56:
        number += 2
        p = bytearray(65)
        p[5:7] = struct.pack("<H", number)
        p[9:65] = image[pos:pos + 56]
        packets.append(bytes(p))
        pos += 56
    number += 2
    last = bytearray(65)
    last[5:7] = struct.pack("<H", number)
    last[9:9 + len(image) - pos] = image[pos:]
    packets.append(bytes(last))
    return packets


def loader_reply(checksum, number, total=None):
    r = bytearray(64)
    r[0:2] = struct.pack("<H", checksum & 0xFFFF)
    r[4:8] = struct.pack("<I", number)
    if total is not None:
        r[8:10] = struct.pack("<H", total & 0xFFFF)
    return bytes(r)


def b_line(address, data):
    return record(address, 0, data)


def frame_sum(frame):
    return frame + struct.pack("<H", sum(frame) & 0xFFFF)


# ---- fuzz_hex: whole files ---------------------------------------------------------------------
put("fuzz_hex", "a_image.hex", hex_file(IMAGE))
put("fuzz_hex", "b_lines.hex", hex_file(bytes(range(48))))
put("fuzz_hex", "lf_only.hex", hex_file(IMAGE[:64], end="\n"))
bad = hex_file(IMAGE[:64]).replace(":10001000", ":10001001", 1)
put("fuzz_hex", "bad_checksum.hex", bad)
put("fuzz_hex", "short_record.hex", record(0, 4, [0, 0]) + record(0, 0, IMAGE[:16]) * 3 + record(48, 0, IMAGE[:5]))


# ---- fuzz_tavik_cli: [flags][len][arg][file len][file][reports] --------------------------------
def cli(flags, arg, reports=(), file=b""):
    arg = arg.encode() if isinstance(arg, str) else arg
    file = file.encode() if isinstance(file, str) else file
    out = bytes([flags, len(arg)]) + arg + struct.pack("<H", len(file)) + file
    for r in reports:
        out += bytes([len(r)]) + r
    return out


packets = a_packets(IMAGE)
first = packets[0]
first_sum = sum(first[1:])
put("fuzz_tavik_cli", "aline_ok", cli(1, first.hex(), [loader_reply(first_sum, 4)]))
put("fuzz_tavik_cli", "aline_wrong", cli(1, first.hex() + "Z", [loader_reply(first_sum + 1, 4)] * 3))
line = b_line(0x0120, list(range(16)))
frame = bytearray(32)
frame[0:3] = b"\x05\x02\x12"
frame[3:5] = struct.pack("<H", 0x0120)
frame[5:21] = bytes(range(16))
echo = bytes([1]) + frame[1:21]
echo = frame_sum(echo) + bytes(9)
status = frame_sum(b"\x01\x01\x02\x42\xc4") + bytes(25)
put("fuzz_tavik_cli", "bline_echo", cli(2, line, [status, echo]))
put("fuzz_tavik_cli", "stb", cli(2, "stb", [frame_sum(b"\x01\x01\x02\x42\xd0") + bytes(25)]))
put("fuzz_tavik_cli", "stbb", cli(2, "stbb", [status, b"\x01\x02\x03", b""]))
put("fuzz_tavik_cli", "sync", cli(1, "sync", [loader_reply(0xA4 + 1 + 1, 2)]))
put("fuzz_tavik_cli", "runaprom", cli(1, "runaprom", [loader_reply(0xA6, 9)]))
put("fuzz_tavik_cli", "list", cli(1 | 16, "list"))
put("fuzz_tavik_cli", "qa_refused", cli(2 | 4, "qa"))
ua_replies = [loader_reply(0xA4 + 2, 2)]
for k, p in enumerate(packets):
    ua_replies.append(loader_reply(sum(p[1:]), 4 + 2 * k, sum(IMAGE) if k == len(packets) - 1 else None))
put("fuzz_tavik_cli", "ua", cli(1, "ua", ua_replies, hex_file(IMAGE)))
ub_lines = b_line(0x0000, [0x11] * 16) + b_line(0x0010, list(range(16)))
put("fuzz_tavik_cli", "ub", cli(2, "ub", [status, echo, status], ub_lines))

# ---- fuzz_bundle_name: paths --------------------------------------------------------------------
put("fuzz_bundle_name", "bundle", "/Applications/Quillmere_V123_0x1a2b.app/Contents/MacOS/Quillmere")
put("fuzz_bundle_name", "placeholder", "/home/my_vault/Quillmere_Vxx_0X1A2B.app")
put("fuzz_bundle_name", "version_last", "Quillmere_0x1a2b_V1234.app")
put("fuzz_bundle_name", "plain", "/opt/quillmere/bin/Quillmere")

# ---- fuzz_tool_output ---------------------------------------------------------------------------
dump = W["kChecksumDump"] + "47 0b 00 00 *06 00 00 00 2b 1a 00 00 00 00 00  ...(more readback)\n"
put("fuzz_tool_output", "final_match", b"\x00" + b"2b 1a" + ("ckSum_w=0b47\n" + dump + W["kALineSent"] + "\n").encode())
put("fuzz_tool_output", "final_upper", b"\x00" + b"2B 1A" + ("FINAL TOTAL CKSUM = (hi)1a 2b\n" + dump).encode())
# A whole START sequence: every run answers with the loader's reply, a dump that carries the
# expected total, the burn sent, and the "stb" runs with c4 and d0 on the second variant.
good = (W["kLoaderReplied"] + "64 (a6 00 00 00 02 00 00 00 00 00 ...\nsaok\n" + dump + W["kALineSent"] + "\n" +
        W["kBurnSent"] + "\n01 01 02 42 " + W["kStatusLinesHeld"] + " 00 00 00 00 00 stbok\n").encode()
put("fuzz_tool_output", "sequence_a", b"\x01" + b"\x00".join([good] * 12))
put("fuzz_tool_output", "sequence_b", b"\x03" + b"\x00".join(
    [(W["kLoaderNotFound"] + "\n").encode(), good, good, b"\x01", good] +
    [good + (W["kBLineSent"] + "\n" + W["kStatusBurned"] + " stbok\n").encode()] * 8))
put("fuzz_tool_output", "sequence_fail", b"\x03" + b"\x00".join(
    [(W["kALineFailed"] + " ckSum\n").encode(), (W["kBLineRetry"] + "\n").encode()] * 6))


# ---- fuzz_convsim -------------------------------------------------------------------------------
state = "convsim-state 1\napplication 40 40\na " + bytes(range(32)).hex() + "\na " + bytes(range(8)).hex() + \
        "\nbcode 1\nb 0120 " + bytes(range(16)).hex() + "\nend\n"
put("fuzz_convsim", "state_file", b"\x00" + state.encode())
put("fuzz_convsim", "faults", b"\x01" + b"bad-ack@3\nflood\nslow-reenum=20\nslow-leave=5\nunplug-b@x\nnope\n")


def op_frame(kind, payload):
    return bytes([2, kind, len(payload)]) + bytes(payload)


def op_wait(units):
    return bytes([1]) + struct.pack("<H", units)


def op_packet(command, data):
    return bytes([3 | 0x80, command]) + bytes(data).ljust(56, b"\0")


mode = b"TVK8MODE"
normal = op_frame(1, mode) + op_frame(2, [0x20, 0x01] + list(range(16))) + op_wait(100) + op_frame(3, [0x42]) + \
    op_wait(100) + op_frame(4, [0x41, 0x20])
put("fuzz_convsim", "normal_session", b"\x02\x00\x00" + normal)
into_loader = op_frame(1, mode) + op_frame(3, [0x41]) + op_wait(200)
first_data = [0, 0, 0, 0, 120, 0, 0, 0] + list(IMAGE[:48])
loader = op_packet(0xA4, [1]) + op_packet(0xA0, first_data) + op_packet(0, IMAGE[48:104]) + \
    op_packet(0, IMAGE[104:]) + op_packet(0xAB, []) + op_wait(300)
put("fuzz_convsim", "update_a", b"\x02\x00\x00" + into_loader + loader)
put("fuzz_convsim", "faulty_session", b"\x02\xf0\x8b" + into_loader + loader + bytes([0, 3, 1, 2, 3]))


# ---- fuzz_wire: [host][recording] ---------------------------------------------------------------
recording = b"".join(line.encode() + b"\n" for line in (
    '{"ev":"run","v":1,"pid":1,"argc":1,"arg":"sa","t":0}',
    '{"ev":"open","id":"0e7b:0bf2","result":"opened","t":10}',
    '{"ev":"out","id":"0e7b:0bf2","n":2,"hex":"0501","t":20}',
    '{"ev":"end","t":30}',
    '{"ev":"run","v":1,"pid":2,"argc":1,"arg":"sta","t":0}',
    '{"ev":"open","id":"0416:a316","result":"absent","t":10}',
    '{"ev":"run","v":1,"pid":3,"argc":1,"arg":"a\\u000d\\u000a","t":0}',
    '{"ev":"open","id":"0416:a316","result":"opened","t":10}',
    '{"ev":"drop","id":"0416:a316","n":1,"hex":"a5","t":15}',
    '{"ev":"out","id":"0416:a316","n":2,"hex":"00a6","t":20}',
    '{"ev":"in","id":"0416:a316","n":1,"wait":1000,"hex":"a6","t":900}',
    '{"ev":"in","id":"0416:a316","n":-1,"wait":-1,"hex":"","t":950}',
    '{"ev":"end","t":1000}'))
for host, name in enumerate(("same_host", "changed_byte", "host_stops_early", "host_goes_on")):
    put("fuzz_wire", name, bytes([host]) + recording)
with open(os.path.join(HERE, "..", "tests", "replay", "corpus", "clean", "wire.jsonl"), "rb") as f:
    put("fuzz_wire", "clean_update", b"\x00" + f.read())
