#!/usr/bin/env python3
"""Writes the seed corpora of the subscription and broadcast request fuzzers:
a few well-formed requests each (host byte order: little-endian)."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def name(text):
    return text.encode().ljust(16, b"\0")


def sub_entry(msg_id, cpu, proc, task, sub_task=""):
    return struct.pack("<II", msg_id, cpu) + name(proc) + name(task) + name(sub_task)


def sub_request(control, op, entries, count=None):
    count = len(entries) if count is None else count
    return bytes([control, op]) + struct.pack("<I", count) + b"".join(entries)


def block(task, msg_id, data_len, data=b"", block_size=32):
    fixed = name(task) + struct.pack("<Ii", msg_id, data_len)
    return fixed.ljust(block_size, b"\0") + data


def bro_request(blocks, block_size=32, num=None):
    num = len(blocks) if num is None else num
    return struct.pack("<II", num, block_size) + b"".join(blocks)


SEEDS = {
    "subscribe_recv_fuzz": {
        "one_entry": sub_request(4, 1, [sub_entry(1, 0, "pp", "a")]),
        "carried_task": sub_request(4, 1, [sub_entry(2, 0, "pp", "a", "tA"), sub_entry(3, 0, "pp", "b"),
                                           sub_entry(4, 1, "pp", "c")]),
        "unsubscribe": sub_request(4, 0, [sub_entry(1, 0, "pp", "a")]),
        "count_past_end": sub_request(1, 1, [sub_entry(5, 1, "pp", "a"), sub_entry(6, 1, "pp", "b")], 3),
    },
    "broadcast_recv_fuzz": {
        "one_event": bro_request([block("a", 1, 5, b"hello")]),
        "three_events": bro_request([block("a", 1, 0), block("b", 2, 3, b"xyz"), block("a", 9, 0)]),
        "wide_blocks": bro_request([block("a", 3, 2, b"ab", 40), block("b", 4, 1, b"c", 40)], 40),
        "negative_len": bro_request([block("a", 1, -7), block("a", 2, 2, b"ok")]),
    },
}

for target, seeds in SEEDS.items():
    os.makedirs(os.path.join(ROOT, target), exist_ok=True)
    for seed, data in seeds.items():
        with open(os.path.join(ROOT, target, seed), "wb") as out:
            out.write(data)
