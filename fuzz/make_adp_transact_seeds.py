#!/usr/bin/env python3
"""Writes the seed corpus of the receive entry fuzzer: well-formed received
messages of each transport type (host byte order: little-endian), laid out
as the fuzzer reads them: control byte, header length, header, payload."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "adp_transact_fuzz")


def name(text):
    return text.encode().ljust(16, b"\0")


def header(msg_id, recv_task, send_task="tx", send_cpu=0, recv_cpu=0, data_len=0, msc_block=0, kind=0):
    head = struct.pack("<IIII", kind, 1000, 77, send_cpu) + name("other") + name(send_task)
    head += struct.pack("<II", msg_id, recv_cpu) + name("proc") + name(recv_task)
    head += struct.pack("<II", 0, msc_block) + bytes(60) + struct.pack("<IQ", data_len, 0)
    assert len(head) == 168
    return head


def seed(control, head, payload=b"", head_len=None):
    head_len = len(head) if head_len is None else head_len
    return bytes([control, head_len]) + head[:head_len] + payload


def sub_request(op, entries):
    body = b"".join(struct.pack("<II", i, c) + name(p) + name(t) + name("") for i, c, p, t in entries)
    return bytes([op]) + struct.pack("<I", len(entries)) + body


def bro_request(task, msg_id, data):
    block = (name(task) + struct.pack("<Ii", msg_id, len(data))).ljust(32, b"\0") + data
    return struct.pack("<II", 1, 32) + block


def main():
    os.makedirs(OUT, exist_ok=True)
    sub = sub_request(1, [(0x600, 0, "proc", "pub")])
    bro = bro_request("pub", 0x600, b"event")
    seeds = {
        "asyn": seed(1, header(1, "t0", data_len=5), b"hello"),
        "asyn_164": seed(1, header(1, "t1"), head_len=164),
        "asyn_163": seed(1, header(1, "t1"), head_len=163),
        "syn": seed(2, header(2, "t1", data_len=3, kind=1), b"req"),
        "resp": seed(3, header(3, "srv", send_task="req", data_len=2, kind=2), b"ok"),
        "cross_cpu": seed(1 | 0x30, header(4, "t0", send_cpu=1, msc_block=0x21, data_len=1), b"x"),
        "bsp_redirect": seed(1 | 0x08, header(5, "t0", send_cpu=2)),
        "subscribe": seed(4, header(0x20000C, "pmsgBro", send_task="t0", data_len=len(sub)), sub),
        "broadcast": seed(4, header(0x20000D, "pmsgBro", send_task="pub", data_len=len(bro)), bro),
        "bad_type": seed(5, header(6, "t0")),
        "no_task": seed(1, header(7, "ghost", data_len=4), b"lost"),
    }
    for key, data in seeds.items():
        with open(os.path.join(OUT, key), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
