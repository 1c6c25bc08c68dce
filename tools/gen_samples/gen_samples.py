#!/usr/bin/env python3
"""Writes the sample programmer and device image that the build embeds when
no real files are given: the same shapes as the real files, with
deterministic pseudo-random contents, so that every build of the same source
embeds the same bytes.

usage: gen_samples.py --programmer OUT.hex --device-image OUT.bin
"""
import argparse
import os

PROGRAMMER_BASE = 0x00B00000
PROGRAMMER_LENGTH = 61_864  # 3,866 records of 16 bytes and one of 8
PROGRAMMER_RECORD_BYTES = 16
DEVICE_IMAGE_LENGTH = 1_129_496


def pseudo_random_bytes(seed, length):
    """xorshift64*, low byte first: stable across Python versions, unlike the
    random module."""
    state = seed
    out = bytearray()
    mask = (1 << 64) - 1
    while len(out) < length:
        state ^= state >> 12
        state ^= (state << 25) & mask
        state ^= state >> 27
        out += ((state * 0x2545F4914F6CDD1D) & mask).to_bytes(8, "little")
    return bytes(out[:length])


def hex_record(record_type, address, data):
    body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, record_type]) + data
    checksum = -sum(body) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


def programmer_hex(code):
    lines = [hex_record(0x04, 0, (PROGRAMMER_BASE >> 16).to_bytes(2, "big"))]
    for offset in range(0, len(code), PROGRAMMER_RECORD_BYTES):
        address = (PROGRAMMER_BASE + offset) & 0xFFFF
        lines.append(hex_record(0x00, address, code[offset:offset + PROGRAMMER_RECORD_BYTES]))
    lines.append(hex_record(0x05, 0, PROGRAMMER_BASE.to_bytes(4, "big")))
    lines.append(hex_record(0x01, 0, b""))
    return "".join(lines).encode("ascii")


def write(path, content):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--programmer", required=True)
    parser.add_argument("--device-image", required=True)
    args = parser.parse_args()
    code = pseudo_random_bytes(0x5A4E5456_50524F47, PROGRAMMER_LENGTH)
    write(args.programmer, programmer_hex(code))
    write(args.device_image, pseudo_random_bytes(0x5A4E5456_494D4147, DEVICE_IMAGE_LENGTH))


if __name__ == "__main__":
    main()
