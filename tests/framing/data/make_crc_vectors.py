#!/usr/bin/python3
"""Writes crc_vectors.txt: random payloads with their CRC-16/X-25 computed by
crcmod's predefined 'x-25' function, an implementation independent of ours.
Each line: <crc as 4 hex digits> <payload as hex>. Deterministic (fixed seed),
so rerunning it reproduces the committed file."""
import os
import random

import crcmod.predefined


def main():
    crc = crcmod.predefined.mkPredefinedCrcFun('x-25')
    rng = random.Random(20240611)
    sizes = [1, 2, 3, 8, 9, 31, 64, 255, 256, 1000] + [rng.randint(1, 600) for _ in range(22)]
    lines = []
    for size in sizes:
        # Bias towards the framing bytes so escaping paths are exercised too.
        payload = bytes(rng.choice([0x7E, 0x7D, rng.randrange(256)]) for _ in range(size))
        lines.append('%04X %s' % (crc(payload), payload.hex().upper()))
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, 'crc_vectors.txt'), 'w', newline='\n') as out:
        out.write('\n'.join(lines) + '\n')


if __name__ == '__main__':
    main()
