"""What the limited API (one abi3 wheel for 3.12 on) would add to the redaction, measured as
ratios against `sanitize_log_text` itself in the same run.

    PYTHONPATH=. python3 bench/bench_limited_api_cost.py

The scanners read the string's own storage (1, 2 or 4 bytes a character) and build the result
in the same kind. The limited API offers neither: the text would be copied out as UCS-4
(`PyUnicode_AsUCS4Copy`) and the result decoded back (`PyUnicode_DecodeUTF32`). Nor does it
offer `Py_UNICODE_ISSPACE`/`ISALNUM`, the tables `re` uses for `\\s` and `\\b`: a table compiled
into the wheel follows one Unicode version while the interpreter's `re` follows its own, so the
exact replacement asks the running interpreter, `str.isspace`/`str.isalnum` for every code point,
once per process.
"""

import ctypes
import sys
import time
import timeit
import unicodedata

import orlune.core.runtime_guard as rg

api = ctypes.pythonapi
api.PyUnicode_AsUCS4Copy.restype = ctypes.c_void_p
api.PyUnicode_AsUCS4Copy.argtypes = [ctypes.py_object]
api.PyMem_Free.argtypes = [ctypes.c_void_p]
api.PyUnicode_DecodeUTF32.restype = ctypes.py_object
api.PyUnicode_DecodeUTF32.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_char_p,
                                      ctypes.POINTER(ctypes.c_int)]

LINE = ("2026-12-08 09:33:42 INFO Saved /home/lee/scans/study-0042/a.dcm for "
        "dr.lee@clinic.example.org (key ABCD-1234-EF56-7890), took 12 ms\n")


def best(fn, n=200):
    return min(timeit.repeat(fn, number=n, repeat=5)) / n


def ucs4_round_trip(text):
    buffer = api.PyUnicode_AsUCS4Copy(text)
    order = ctypes.c_int(-1)  # little-endian, no byte-order mark
    out = api.PyUnicode_DecodeUTF32(buffer, len(text) * 4, None, ctypes.byref(order))
    api.PyMem_Free(buffer)
    return out


def main():
    print(f"Python {sys.version.split()[0]}, Unicode {unicodedata.unidata_version}")
    ctypes_call = best(lambda: api.PyMem_Free(None))  # the harness' own cost, taken off
    for name, text in [("ASCII log, 48,000 chars", (LINE * 400)[:48000]),
                       ("log with non-Latin-1 text", (LINE.replace("Saved", "Gespeichert ✓") * 400)[:48000])]:
        assert ucs4_round_trip(text) == text
        sanitize = best(lambda: rg.sanitize_log_text(text))
        copies = best(lambda: ucs4_round_trip(text)) - 3 * ctypes_call
        print(f"{name}: sanitize {sanitize * 1e6:.0f} us; UCS-4 copy in and decode out "
              f"{copies * 1e6:.0f} us = +{copies / sanitize:.0%}")
    every = "".join(map(chr, range(0x110000)))
    started = time.perf_counter()
    bytes(map(str.isspace, every)), bytes(map(str.isalnum, every))
    print(f"tables from the running interpreter: {(time.perf_counter() - started) * 1e3:.0f} ms per process "
          f"(sanitize of 48,000 chars: {sanitize * 1e6:.0f} us)")


if __name__ == "__main__":
    main()
