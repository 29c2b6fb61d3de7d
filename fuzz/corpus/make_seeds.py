#!/usr/bin/env python3
"""Writes the seed corpora: a handful of meaningful inputs per fuzzer. Run from fuzz/."""
import os


def crc(data):
    c = 0xFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    return c


def frame(addr, fn, param, data=b""):
    n = 7 + len(data)
    body = bytes([addr, fn, param, n >> 8, n & 0xFF]) + data
    c = crc(body)
    return body + bytes([c & 0xFF, c >> 8])


def refusal(addr, fn):
    body = bytes([addr, fn | 0x80, 1])
    c = crc(body)
    return body + bytes([c & 0xFF, c >> 8])


def write(target, name, data):
    os.makedirs(os.path.join("corpus", target), exist_ok=True)
    with open(os.path.join("corpus", target, name), "wb") as f:
        f.write(data)


for i, t in enumerate([b"42", b" 42", b"-0x10", b"$FFFFFFFF", b"2147483648", b"-2147483648",
                       b"", b"+", b"0x", b"42 ", b"X7fffffff", b"$000000001"]):
    write("parse_integer", "seed%02d" % i, t)

for i, t in enumerate([b"192.168.1.10", b"10.0.0", b"1.2.3.4.5", b"abc", b"300.1.1.1",
                       b"10 .1.1.1", b"$10.0.0.1", b"-1.256.0x10.\xc3\xb3"]):
    write("ip_text", "seed%02d" % i, t)

# Device parser: flags, shortBy, declared(2), pad, split, times, address, then pieces.
def pieces(data, size=64):
    out = b""
    for at in range(0, len(data), size - 1):
        chunk = data[at:at + size - 1]
        out += bytes([len(chunk)]) + chunk
    return out

honest = bytes([0, 0, 0, 0, 0, 0, 0xFF, 2])
write("sim_request", "enter", honest + pieces(frame(2, 0x47, 0xC9)))
write("sim_request", "read_ip_split", honest[:5] + b"\x03" + honest[6:] +
      pieces(frame(2, 0x46, 0x64), 3))
write("sim_request", "noise_then_frames", honest + pieces(b"\x02\x47\xff\xff" +
      frame(2, 0x47, 0x64, b"10.0.0.1") + frame(7, 0x46, 0xCB) + frame(2, 0x47, 0xCB, b"\x01")))
write("sim_request", "faults", bytes([0xEF, 2, 0x00, 0x05, 0x23, 2, 3, 2]) +
      pieces(frame(2, 0x47, 0xC9) + frame(2, 0x46, 0x65) + frame(2, 0x46, 0x64)))
write("sim_request", "strict_reset", bytes([0x10, 0, 0, 0, 0, 0, 0xFF, 2]) +
      pieces(frame(2, 0x46, 0xCB)[:4]) + b"\xff" + pieces(frame(2, 0x46, 0xCB)))

# Engine: operation, address, failing call (0: none), operation's own bytes, then the device's answer.
write("engine_reply", "enter_ok", bytes([0, 2, 0]) + frame(2, 0x47, 0xC9))
write("engine_reply", "enter_refused", bytes([0, 2, 0]) + refusal(2, 0x47))
write("engine_reply", "enter_silent", bytes([0, 2, 0]))
write("engine_reply", "mode_ok", bytes([2, 2, 0]) + frame(2, 0x46, 0xCB, b"\x01"))
write("engine_reply", "mode_other_address", bytes([2, 2, 0]) + frame(3, 0x46, 0xCB, b"\x00"))
write("engine_reply", "mode_bad_crc", bytes([2, 2, 0]) + frame(2, 0x46, 0xCB, b"\x00")[:-1] + b"\x00")
write("engine_reply", "write_mode", bytes([3, 2, 0, 1]) + frame(2, 0x47, 0xCB, b"\x01"))
write("engine_reply", "read_ip_padded", bytes([4, 2, 0]) + frame(2, 0x46, 0x64, b" 192.168.1.5\0\0"))
write("engine_reply", "read_ip_refused", bytes([4, 2, 0]) + refusal(2, 0x46))
write("engine_reply", "write_ip_echo", bytes([5, 2, 0, 8]) + b"10.0.0.1" + frame(2, 0x47, 0x64, b"10.0.0.1"))
write("engine_reply", "read_port_short", bytes([6, 2, 0]) + frame(2, 0x46, 0x65, b"502")[:-2])
write("engine_reply", "read_port_huge", bytes([6, 2, 0]) + b"\x02\x46\x65\x27\x15")
write("engine_reply", "write_port", bytes([7, 2, 0, 3]) + b"502" + frame(2, 0x47, 0x65, b"502"))
write("engine_reply", "raw_short_length", bytes([8, 2, 0, 0, 3, 7]) + frame(2, 0x47, 0xC9))
write("engine_reply", "raw_fixed", bytes([8, 2, 0, 0, 5, 7]) + frame(2, 0x47, 0xC9) + refusal(2, 0x47))
write("engine_reply", "raw_prefixed", bytes([9, 2, 0, 7]) + frame(2, 0x47, 0xC9) + frame(2, 0x46, 0x65, b"1"))
write("engine_reply", "read_fails", bytes([2, 2, 7]) + frame(2, 0x46, 0xCB, b"\x01"))
write("engine_reply", "open_fails", bytes([4, 2, 4]) + frame(2, 0x46, 0x64, b"1.2.3.4"))
