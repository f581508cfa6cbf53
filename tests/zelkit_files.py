"""Byte-level encoders for building test files independently of zelkit's writers."""

import struct

import numpy as np

import zelkit


def evb(events):
    return zelkit.as_events(events).tobytes()


def nmnist(rows):
    return b"".join(bytes([x, y, (p << 7) | (t >> 16), (t >> 8) & 0xFF, t & 0xFF]) for x, y, t, p in rows)


def aedat2(rows, header=b"#!AER-DAT2.0\r\n"):
    return header + b"".join(struct.pack(">II", (y << 8) | (x << 1) | p, t) for x, y, t, p in rows)


def csv(rows):
    return ("x,y,t,p\n" + "".join(f"{x},{y},{t},{p}\n" for x, y, t, p in rows)).encode()


def array(rows):
    return np.array([tuple(r) for r in rows], dtype=zelkit.EVENT_DTYPE)


def rows_of(array):
    return [tuple(int(v) for v in r) for r in array.tolist()]
