#!/usr/bin/env python3
"""Writes the seed corpus of the carrier cargo fuzzer: datagrams of shared
buffer records as the socket carrier frames them (host byte order:
little-endian), each preceded by the fuzzer's control byte and the byte that
says what the descriptors passed with it are."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "carrier_cargo_fuzz")
MAGIC = 0x76
SHARE = 0x11
CARGO = 0x02
SEGMENT, GONE, RELEASE, LANE, DRAIN, POSTED, BELL = 5, 6, 7, 8, 9, 10, 11
BLOCK = 8192
SEGMENT_BYTES = 1 << 20
# The lanes an owner makes on 4 KiB pages: 2048 slots of ids, then the post
# ring on the next page (its posted count first), 80 KiB in all.
LANE_SLOTS = 2048
LANE_BYTES = 80 * 1024
POSTED_AT = 12288


def name(text):
    return text.encode().ljust(16, b"\0")


def header(msg_id, recv_task, data_len):
    head = struct.pack("<IIII", 0, 1000, 77, 0) + name("other") + name("tx")
    head += struct.pack("<II", msg_id, 0) + name("proc") + name(recv_task)
    head += struct.pack("<II", 0, 0) + bytes(60) + struct.pack("<IQ", data_len, 0)
    assert len(head) == 168
    return head


def control_byte(fds, dialled=False, retry=False, posts=False):
    return bytes([(1 if retry else 0) | (2 if dialled else 0) | (fds << 2) | (0x20 if posts else 0)])


def segment(seg_id, block=BLOCK, size=SEGMENT_BYTES):
    return struct.pack("<BBBBI", MAGIC, SHARE, SEGMENT, 0, 16) + struct.pack("<IIQ", seg_id, block, size)


def lane(size=LANE_BYTES, slots=LANE_SLOTS):
    return struct.pack("<BBBBI", MAGIC, SHARE, LANE, 0, 8) + struct.pack("<II", size, slots)


def drain():
    return struct.pack("<BBBBI", MAGIC, SHARE, DRAIN, 0, 0)


def bare(kind):
    return struct.pack("<BBBBI", MAGIC, SHARE, kind, 0, 0)


def ids(kind, values):
    body = struct.pack("<I", len(values)) + b"".join(struct.pack("<I", v) for v in values)
    return struct.pack("<BBBBI", MAGIC, SHARE, kind, 0, len(body)) + body


def shared(ref_id, seg_id, block_index, size, offset, data_len, fds=0, task="t0", trans=1):
    prefix = struct.pack("<BBBBI", MAGIC, trans, CARGO, 0, 0)
    desc = struct.pack("<IIIIII", ref_id, seg_id, block_index, size, offset, fds)
    return prefix + header(ref_id, task, data_len) + desc


def with_fds(payload, fds, task="t1"):
    prefix = struct.pack("<BBBBI", MAGIC, 1, CARGO, 0, len(payload))
    desc = struct.pack("<IIIIII", 0, 0, 0, 0, 0, fds)
    return prefix + header(9, task, len(payload)) + desc + payload


def with_posts(datagram, *steps):
    """The datagram's length, the datagram, then the owner's steps."""
    return struct.pack("<H", len(datagram)) + datagram + b"".join(steps)


def post(record, ahead=0):
    return bytes([len(record), ahead & 0xFF]) + record


def owner_writes(at, data):
    return struct.pack("<BHB", 0, at // 2, len(data)) + data


POLL, ARM = b"\xff", b"\xfe"
# The lane first, then the segment: the descriptors are taken in that order.
LANE_AND_SEGMENT = bytes([0b0011])

SEEDS = {
    "segment_and_frame": control_byte(1) + b"\x00" + segment(1) + shared(5, 1, 3, BLOCK, 16, 1000),
    "frame_for_full_queue": control_byte(1, retry=True) + b"\x00" + segment(1)
    + b"".join(shared(10 + i, 1, i, BLOCK, 0, 64) for i in range(4)),
    "request_with_buffer": control_byte(1) + b"\x00" + segment(2) + shared(6, 2, 0, 4096, 0, 4096, trans=2),
    "frame_with_descriptors": control_byte(3) + bytes([0b101000]) + segment(3) + shared(7, 3, 1, BLOCK, 0, 8, fds=2),
    "descriptors_inline": control_byte(2) + bytes([0b0110]) + with_fds(b"payload", 2),
    "unsealed_segment": control_byte(1) + b"\x01" + segment(4) + shared(8, 4, 0, BLOCK, 0, 64),
    "wrong_size_segment": control_byte(1) + b"\x03" + segment(5) + shared(9, 5, 0, BLOCK, 0, 64),
    "frame_outside_segment": control_byte(1) + b"\x00" + segment(6) + shared(11, 6, 128, BLOCK, 0, 64),
    "segment_given_up": control_byte(1) + b"\x00" + segment(7) + shared(12, 7, 0, BLOCK, 0, 64) + ids(GONE, [7]),
    "references_given_back": control_byte(0, dialled=True) + b"\x00" + ids(RELEASE, [1, 3, 99]),
    "descriptors_short": control_byte(1) + b"\x02" + with_fds(b"x", 3),
    "lane_and_dropped_frames": control_byte(2, retry=True) + bytes([0b0011]) + lane() + segment(8)
    + b"".join(shared(20 + i, 8, i, BLOCK, 0, 64, task="none") for i in range(3)),
    "unsealed_lane": control_byte(1) + b"\x01" + lane(1 << 20, 65536),
    "drain_on_lent": control_byte(0, dialled=True) + b"\x00" + drain(),
    "bell_not_a_counter": control_byte(1, dialled=True) + b"\x02" + bare(BELL),
    "posted_before_the_ring": control_byte(2, posts=True) + LANE_AND_SEGMENT
    + with_posts(bare(POSTED) + lane() + segment(13) + bare(POSTED), post(shared(35, 13, 0, BLOCK, 0, 64))),
    "posted_frames": control_byte(2, posts=True) + LANE_AND_SEGMENT
    + with_posts(lane() + segment(9), post(shared(30, 9, 0, BLOCK, 0, 64)), post(shared(31, 9, 1, BLOCK, 0, 64), 1),
                 POLL, ARM, post(shared(32, 9, 2, BLOCK, 8, 64, task="t1"))),
    "posts_not_lending": control_byte(2, posts=True) + LANE_AND_SEGMENT
    + with_posts(lane() + segment(10), post(segment(11)), post(with_fds(b"x", 0)), POLL),
    "post_ring_broken_by_owner": control_byte(2, posts=True) + LANE_AND_SEGMENT
    + with_posts(lane() + segment(12), post(shared(33, 12, 0, BLOCK, 0, 64)),
                 owner_writes(POSTED_AT, struct.pack("<I", 0xFFFF)), POLL, post(shared(34, 12, 1, BLOCK, 0, 64))),
}

os.makedirs(OUT, exist_ok=True)
for seed_name, seed in SEEDS.items():
    with open(os.path.join(OUT, seed_name), "wb") as out:
        out.write(seed)
