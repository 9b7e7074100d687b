#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The seeds are small inputs made here, each showing one feature of the command line or of
the BVH text; the input layouts are described at the top of options_fuzz.cpp and
extract_fuzz.cpp. Inputs that once broke an invariant are kept beside them under names
beginning with "regression-"; this script leaves those alone.

    python3 fuzz/make_seeds.py
"""
import os
import struct

ROOT = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(ROOT, "..", "data", "walk.bvh")


def write(target, name, data):
    folder = os.path.join(ROOT, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- options: frame count, frame time, NUL-ended arguments ----

def options(name, count, time, *args):
    data = struct.pack("<if", count, time) + b"".join(a.encode() + b"\0" for a in args)
    write("options", name, data)


options("usage-example-frames", 300, 1 / 30, "walk.bvh", "-s", "20", "-e", "100", "-o", "step.bvh")
options("usage-example-percent", 301, 0.04, "jump.bvh", "-e", "33.33%", "-o", "jump1.bvh")
options("usage-example-seconds", 300, 0.033333, "run.bvh", "-s", "1.5s", "-e", "50%", "-o", "leap.bvh")
options("no-arguments", 5, 0.04)
options("help-only", 5, 0.04, "-h")
options("help-then-run", 5, 0.04, "walk.bvh", "-h", "-e", "2")
options("invalid-then-help", 5, 0.04, "-x", "walk.bvh", "-h")
options("invalid-forms", 5, 0.04, "-h", "-S", "-s20", "--", "-")
options("trailing-option", 5, 0.04, "walk.bvh", "-s")
options("two-inputs-last-empty", 5, 0.04, "a.bvh", "b.bvh", "")
options("later-option-wins", 5, 0.04, "a.bvh", "-s", "10%", "-s", "5")
options("value-forms", 5, 0.04, "a.bvh", "-s", "5%s", "-e", "1.5S")
options("value-no-number", 5, 0.04, "a.bvh", "-s", "abc", "-e", "ss")
options("value-leading-blank", 5, 0.04, "a.bvh", "-s", " 5", "-e", "2e1")
options("values-look-like-options", 5, 0.04, "a.bvh", "-s", "-5", "-o", "-h")
options("half-up-rounding", 6, 0.1, "a.bvh", "-s", "0.25s", "-e", "70%")
options("percent-of-few", 101, 0.1, "a.bvh", "-s", "12.5%", "-e", "0.5%")
options("huge-values", 2147483647, 1e-30, "a.bvh", "-s", "1e40%", "-e", "99999999999")
options("negative-huge-values", -2147483648, -0.04, "a.bvh", "-s", "-1e300s", "-e", "-99999999999")
options("not-numbers", 0, float("nan"), "a.bvh", "-s", "nan%", "-e", "infs")
options("zero-frame-time", 10, 0.0, "a.bvh", "-s", "1s", "-e", "-0s")
options("start-past-end", 300, 0.04, "a.bvh", "-s", "500", "-e", "-3")
options("hex-and-exponent", 300, 0.04, "a.bvh", "-s", "0x1p3s", "-e", "1e-2%")

# ---- extract: a 10-byte job, then the input file ----

FRAME, PERCENT, SECONDS, DEFAULT = 0, 1, 2, 3


def job(start=(DEFAULT, 0), end=(DEFAULT, 0), previous=False, read_limit=0):
    def value(kind, v):
        return struct.pack("<i", v) if kind == FRAME else struct.pack("<f", v)
    flags = start[0] | end[0] << 2 | (16 if previous else 0)
    return bytes([flags]) + value(*start) + value(*end) + bytes([read_limit])


def extract(name, data, **kwargs):
    write("extract", name, job(**kwargs) + data)


with open(SAMPLE, "rb") as f:
    sample = f.read()
motion_at = sample.index(b"\nMOTION\n") + len(b"\nMOTION\n")
sample_lines = sample[motion_at:].split(b"\n")
walk = sample[:motion_at] + b"Frames: 4\n" + b"\n".join(sample_lines[1:6]) + b"\n"
walk_crlf = walk.replace(b"\n", b"\r\n")

H = b"HIERARCHY\nROOT Hips\n{\n\tOFFSET 0 0 0\n\tCHANNELS 1 Xposition\n}\nMOTION\n"
FIVE = b"A0\nA1\nA2\nA3\nA4\n"

extract("walk-whole", walk)
extract("walk-crlf-inner-small-reads", walk_crlf, start=(FRAME, 1), end=(FRAME, 2), read_limit=7)
extract("walk-seconds-percent", walk, start=(SECONDS, 0.04), end=(PERCENT, 0.75), previous=True)
extract("inner", H + b"Frames: 5\nFrame Time: 0.04\n" + FIVE, start=(FRAME, 1), end=(FRAME, 3))
extract("reversed", H + b"Frames: 5\nFrame Time: 0.04\n" + FIVE, start=(FRAME, 4), end=(FRAME, 1))
extract("count-promises-more", H + b"Frames: 7\nFrame Time: 0.04\n" + FIVE)
extract("count-promises-fewer", H + b"Frames: 3\nFrame Time: 0.04\n" + FIVE)
extract("range-past-the-lines", H + b"Frames: 10\nFrame Time: 0.04\n" + FIVE,
        start=(FRAME, 7), end=(FRAME, 9))
extract("blank-line-leading-blanks", H + b"Frames: 2\nFrame Time: 0.04\n\n  A0\nA1\n")
extract("third-word-on-count-line", H + b"Frames: 2 x\nFrame Time: 0.04\nA0\n")
extract("label-glued-to-count", H + b"Frames:2\nFrame Time: 0.04\nA0\nA1\n")
extract("label-glued-to-time", H + b"Frames: 2\nFrame Time:0.04\n1.5 2\nA1\n")
extract("space-before-colon", H + b"Frames : 2\nFrame Time: 0.04\nA0\n")
extract("time-short-form", H + b"Frames: 1\nFrame Time:\t.0083333\nA0\n")
extract("time-incomplete-exponent", H + b"Frames: 2\nFrame Time: 1e\nA0\nA1\n")
extract("time-hex", H + b"Frames: 2\nFrame Time: 0x1p-3\nA0\nA1\n", start=(SECONDS, 0.125))
extract("time-nan-inf", H + b"Frames: 2\nFrame Time: nan(x)\nA0\ninfinity\n", end=(SECONDS, 1.0))
extract("time-zero", H + b"Frames: 3\nFrame Time: 0\nA0\nA1\nA2\n", start=(SECONDS, 1.0))
extract("count-huge", H + b"Frames: 99999999999\nFrame Time: 0.04\nA0\n", end=(FRAME, 1))
extract("count-negative", H + b"Frames: -5\nFrame Time: -0.04\nA0\n", start=(SECONDS, 1.0))
extract("no-final-line-break", H + b"Frames: 2\nFrame Time: 0.04\nA0\nA1 0.5")
extract("motion-only-no-break", b"MOTION", previous=True)
extract("motion-only", b"MOTION\n")
extract("motion-only-crlf", b"MOTION\r\n", read_limit=1)
extract("no-motion", b"HIERARCHY\nROOT Hips\n motion\nmotion\nxMOTION\n", previous=True)
extract("empty", b"")
extract("motion-more-on-its-line", b"H\nMOTION here\nFrames: 1\nFrame Time: 0.5\nA0\n")
extract("nul-bytes", b"H\0x\n\0MOTION\nMOTION\0\nFrames: 2\nFrame Time: 1\nA\0\n\0B\n")
extract("tag-across-small-reads", b"HH\nMOTIO\nMOTION\r\nFrames: 1\nFrame Time: 1\nA0\n",
        read_limit=3)
extract("long-lines", H.replace(b"ROOT Hips", b"ROOT " + b"h" * 3000) + b"Frames: 2\nFrame Time: 0.01\n"
        + b"1 " * 2500 + b"\n" + b"2 " * 2500, start=(FRAME, 1), read_limit=200)
extract("percent-near-half", H + b"Frames: 6\nFrame Time: 0.1\nA0\nA1\nA2\nA3\nA4\nA5\n",
        start=(SECONDS, 0.25), end=(PERCENT, 0.7))
