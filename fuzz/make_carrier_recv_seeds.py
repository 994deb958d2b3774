#!/usr/bin/env python3
"""Writes the seed corpus of the carrier receive fuzzer: datagrams as the
socket carrier frames them (host byte order: little-endian), messages and
control records, each preceded by the fuzzer's control byte."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "carrier_recv_fuzz")
MAGIC = 0x76
SLICED = 1


def name(text):
    return text.encode().ljust(16, b"\0")


def header(msg_id, recv_task, data_len, recv_proc="proc"):
    head = struct.pack("<IIII", 0, 1000, 77, 0) + name("other") + name("tx")
    head += struct.pack("<II", msg_id, 0) + name(recv_proc) + name(recv_task)
    head += struct.pack("<II", 0, 0) + bytes(60) + struct.pack("<IQ", data_len, 0)
    assert len(head) == 168
    return head


def record(trans_type, recv_task, payload, msg_id=1, recv_proc="proc"):
    prefix = struct.pack("<BBBBI", MAGIC, trans_type, 0, 0, len(payload))
    return prefix + header(msg_id, recv_task, len(payload), recv_proc) + payload


def control(kind, task=b"", arg=0, requester=b"", msg_id=0):
    prefix = struct.pack("<BBBBI", MAGIC, 0x10, kind, 0, 40)
    return prefix + name(task.decode()) + name(requester.decode()) + struct.pack("<II", arg, msg_id)


def slice_record(recv_task, total, offset, piece, key):
    prefix = struct.pack("<BBBBI", MAGIC, 1, SLICED, 0, len(piece))
    tail = struct.pack("<B3xIIIQ", 1, offset, len(piece), 0, key)
    return prefix + header(9, recv_task, total) + piece + tail


SEEDS = {
    "one_message": b"\x00" + record(1, "t0", b"hello"),
    "batch_of_three": b"\x00" + record(1, "t0", b"a") + record(2, "t1", b"bb" * 20) + record(1, "t0", b""),
    "batch_fills_queue": b"\x01" + b"".join(record(1, "t0", bytes([i]) * 3) for i in range(4)),
    "response": b"\x00" + record(3, "t1", b"answer"),
    "first_slice": b"\x00" + slice_record("t0", 300, 0, b"x" * 100, 5),
    "whole_in_one_slice": b"\x02" + slice_record("t1", 64, 0, b"y" * 64, 6),
    "slices_in_order": b"\x01" + slice_record("t0", 20, 0, b"p" * 10, 7) + slice_record("t0", 20, 10, b"q" * 10, 7),
    "in_place_whole": b"\x04" + record(1, "t0", b"z" * 300),
    "in_place_full_queue": b"\x05" + record(1, "t0", b"w" * 100),
    "slice_out_of_order": b"\x00" + slice_record("t0", 20, 10, b"q" * 10, 8),
    "full_queue_parks_and_retries": b"\x01" + b"".join(record(1, "t0", bytes([i]) * 3) for i in range(5))
    + record(1, "t1", b"x"),
    "abort_after_first_slice": b"\x00" + slice_record("t0", 300, 0, b"x" * 100, 9) + control(3, arg=9),
    "notices_on_dialled_link": b"\x08" + control(1, b"t0") + control(2, b"t0") + control(1, b"t1"),
    "answer_on_dialled_link": b"\x08" + record(3, "t1", b"answer"),
    "refusal_on_dialled_link": b"\x08" + control(4, b"t0", 0x80020021, b"t1", 3) + control(4, b"t0", 0, b"t1", 3),
    "refused_sender": b"\x10" + record(1, "t0", b"a") + record(2, "t1", b"call", 3),
    "sender_allowed_some": b"\x20" + record(1, "t1", b"in", 3) + record(1, "t1", b"out", 9) + record(1, "t0", b"x"),
    "addressed_elsewhere": b"\x00" + record(1, "t0", b"a", recv_proc="else") + record(2, "t0", b"b", recv_proc="else"),
}

os.makedirs(OUT, exist_ok=True)
for seed_name, seed in SEEDS.items():
    with open(os.path.join(OUT, seed_name), "wb") as out:
        out.write(seed)
