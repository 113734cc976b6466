"""Writes the seed corpus of fuzz_engine (tests/fuzz/corpus): one short
script for every rendering path, both sample types, each chunk-size mode and
each sample source. Run from anywhere; the files are committed."""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
# Index into rate_pairs of fuzz_engine.cpp.
PAIRS = {
    "hb_up": 0,  # 8000 -> 16000: half-band FIR, or IIR at quality fast
    "hb_down": 1,
    "third": 2,
    "equal": 3,
    "poly_up": 4,  # 44100 -> 48000
    "poly_down": 5,
    "huge_down": 10,  # 4294967295 -> 1
    "tiny": 13,  # 3 -> 7
}
FAST, BALANCED, BEST = 0, 1, 2
AUTO, SCALAR, AVX2, AVX512, NEON = 0, 1, 2, 3, 4


def process(frames):  # 0..31 frames in one byte
    return bytes([(frames << 3) | 0])


def process_big(sixteenths):  # 16 × (0..63) frames
    return bytes([3, sixteenths])


def process_u16(frames):
    return bytes([4]) + struct.pack("<H", frames)


MISALIGNED, FINISH, RESET = bytes([(2 << 3) | 5]), bytes([6]), bytes([7])

# A script that exercises a stream: empty and tiny calls, a misaligned one,
# larger calls, finish twice, input after finish, reset and a second stream.
SCRIPT = (
    process(0) + process(1) + process(7) + MISALIGNED + process_big(20) + process(31) + FINISH + FINISH
    + process(5) + MISALIGNED + RESET + process_u16(700) + process(3) + FINISH
)


def seed(name, pair, channels, quality, backend, int16=False, chunk_mode=0, chunk=b"", source=0, script=SCRIPT):
    head = int(int16) | (0 << 1) | (chunk_mode << 3) | (source << 5)
    data = bytes([head, pair, channels, quality, backend]) + chunk + struct.pack("<H", 1234) + script
    if source == 3:  # raw sample bytes follow the script
        data += bytes(range(256)) * 8
    (HERE / "corpus" / name).write_bytes(data)


def main():
    (HERE / "corpus").mkdir(exist_ok=True)
    for path, pair in PAIRS.items():
        for quality, qname in ((FAST, "fast"), (BEST, "best")):
            seed(f"{path}_{qname}_f32", pair, 2, quality, AUTO)
            seed(f"{path}_{qname}_i16", pair, 3, quality, SCALAR, int16=True, source=2)
    seed("raw_floats", PAIRS["poly_up"], 1, BALANCED, AVX512, source=3)
    seed("raw_i16_iir", PAIRS["hb_down"], 2, FAST, AVX2, int16=True, source=3)
    seed("chunk_small", PAIRS["poly_down"], 8, BALANCED, AUTO, chunk_mode=1, chunk=struct.pack("<H", 500))
    seed("chunk_2p40", PAIRS["poly_down"], 1, BALANCED, AUTO, chunk_mode=2, chunk=struct.pack("<H", 0))
    seed("chunk_2p62", PAIRS["poly_down"], 1, BALANCED, AUTO, chunk_mode=3, chunk=struct.pack("<I", 0))
    seed("backend_neon", PAIRS["equal"], 1, FAST, NEON)
    seed("zero_channels", PAIRS["equal"], 0, FAST, AUTO)
    # Rate mode 1 (two rates in 1..384000) and mode 2 (full 32-bit, 0 allowed).
    (HERE / "corpus" / "rates_any").write_bytes(
        bytes([1 << 1]) + struct.pack("<II", 11024, 47999) + bytes([2, 1, 0]) + b"\x01\x00" + SCRIPT)
    (HERE / "corpus" / "rates_zero").write_bytes(
        bytes([2 << 1]) + struct.pack("<II", 0, 8000) + bytes([1, 1, 0]) + b"\x01\x00" + SCRIPT)


if __name__ == "__main__":
    main()
