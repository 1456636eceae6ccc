#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/ from the byte vectors documented
in README.md and include/kinetra.h. Run it again after changing a vector;
the files it writes are kept in the repository."""
import pathlib


def crc16_modbus(data: bytes) -> int:
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(head: int, tag: int, cmd: int, payload: bytes) -> bytes:
    body = bytes([head, tag, len(payload), cmd]) + payload
    crc = crc16_modbus(body)
    return body + bytes([crc & 0xFF, crc >> 8])


SAMPLE = bytes.fromhex("7B010DF5026400CEFF0700010000010000 9D3E".replace(" ", ""))
assert frame(0x7B, 0x01, 0xF5, SAMPLE[4:17]) == SAMPLE
EMPTY_UPLOAD = bytes.fromhex("7A0100F588BB")
assert frame(0x7A, 0x01, 0xF5, b"") == EMPTY_UPLOAD
X_MOVE = bytes.fromhex("010106A1E803C80032 00649A".replace(" ", ""))
assert frame(0x01, 0x01, 0xA1, bytes.fromhex("E803C8003200")) == X_MOVE
SECOND = frame(0x7A, 0x55, 0xF5, bytes(range(1, 14)))
LONGEST = frame(0x7A, 0x01, 0xF5, bytes(range(0x20, 0x32)))  # 18 payload bytes
SHORT = frame(0x7B, 0x01, 0xF5, bytes(range(12)))  # 12 payload bytes
BAD_CRC = SAMPLE[:-2] + bytes([SAMPLE[-1], SAMPLE[-2]])
FLIPPED = SAMPLE[:6] + bytes([SAMPLE[6] ^ 0x10]) + SAMPLE[7:]

upload = {
    "sample": SAMPLE,
    "two_frames": SAMPLE + SECOND,
    "frame_then_cut": SAMPLE + SECOND[:9],
    "noise_before": bytes([0x00, 0x11, 0xF5, 0x7C, 0xFF]) + SAMPLE,
    "head_with_long_len": bytes([0x7A, 0x01, 0x13]) + SAMPLE,
    "stray_head_hides_frame": bytes([0x7B]) + SAMPLE,
    "stray_head_reaches_past_end": SAMPLE + bytes([0x7A, 0x00, 0x12, 0xF5]) + SECOND[:10],
    "other_kind_only": frame(0x7A, 0x01, 0xA1, bytes.fromhex("E803C8003200")),
    "five_bytes": SAMPLE[:5],
    "short_payload": SHORT,
    "longest_payload": LONGEST,
    "bad_crc": BAD_CRC,
    "empty_upload": EMPTY_UPLOAD,
    "sound_then_damaged": SAMPLE + FLIPPED,
}
decode = {
    "empty_upload": EMPTY_UPLOAD,
    "x_move": X_MOVE,
    "sample": SAMPLE,
    "five_bytes": EMPTY_UPLOAD[:5],
    "len_past_end": SAMPLE[:12],
    "extra_after": SAMPLE + b"\x7a\x01",
    "payload_bit_flipped": FLIPPED,
    "crc_swapped": BAD_CRC,
    "check_digits": b"123456789",
    "longest_len": bytes([0x7A, 0x01, 0xFF, 0xF5]) + bytes(255) + b"\x00\x00",
}



def scripted(script: bytes, stream: bytes) -> bytes:
    """A reception seed: how many script bytes, the script, then the stream."""
    return bytes([len(script) - 1]) + script + stream


def counted(n: int) -> bytes:
    return frame(0x7B, 0x01, 0xF5, bytes([1]) + n.to_bytes(4, "little") + bytes(8))


BACKLOG = b"".join(counted(n) for n in range(800))
reception = {
    "whole_frame": scripted(bytes([0x13]), SAMPLE),
    "in_pieces": scripted(bytes([0x04, 0x04, 0x0B]), SAMPLE),
    "head_byte_alone": scripted(bytes([0x01, 0x00, 0x12]), SAMPLE),
    "rest_never_comes": scripted(bytes([0x0A, 0x00]), SAMPLE),
    "backlog": scripted(bytes([0xC0, 0x90]), BACKLOG),
    "noise_then_frame_across_refill": scripted(bytes([0xC0, 0x05]), bytes(4090) + SAMPLE),
    "stream_never_lets_up": scripted(bytes([0xFF]), BACKLOG * 20),
    "silent": scripted(bytes([0x00]), SAMPLE),
    "failing_reads": scripted(bytes([0x7F, 0x13]), SAMPLE),
}

XYZ_MOVE = frame(0x01, 0x01, 0xA5, bytes(range(18)))
BAD_MOVE = X_MOVE[:-1] + bytes([X_MOVE[-1] ^ 0xFF])
# Both directions of a session one after the other: the same stream is read
# as commands and as uploads, so each seed holds frames of both kinds.
SESSION = X_MOVE + SAMPLE + XYZ_MOVE + EMPTY_UPLOAD + SHORT
spy_reassembly = {
    "whole_session": scripted(bytes([0xFF]), SESSION),
    "byte_by_byte": scripted(bytes([0x01]), SESSION),
    "uneven_reads": scripted(bytes([0x03, 0x00, 0x0B, 0x02, 0x11]), SESSION),
    "noise_between": scripted(bytes([0x05, 0x07]), b"\x00\x7a" + X_MOVE + b"\x01\x55" + SAMPLE),
    "damaged_frames": scripted(bytes([0x04, 0x09]), BAD_MOVE + BAD_CRC + FLIPPED),
    "cut_at_the_end": scripted(bytes([0x02, 0x06]), SAMPLE + SECOND[:9]),
    "stray_head_hides_frame": scripted(bytes([0x01, 0x03]), bytes([0x7B, 0x01, 0x12]) + SAMPLE),
    "only_empty_reads": scripted(bytes([0x00, 0x00]), SESSION),
    "longest_command": scripted(bytes([0x40, 0x40]), bytes([0x01, 0x01, 0xFF, 0xA1]) + bytes(260) + X_MOVE),
}

root = pathlib.Path(__file__).resolve().parent / "corpus"
for name, table in (("upload", upload), ("decode_frame", decode), ("reception", reception),
                    ("spy_reassembly", spy_reassembly)):
    folder = root / name
    folder.mkdir(parents=True, exist_ok=True)
    for stem, data in table.items():
        (folder / stem).write_bytes(data)
