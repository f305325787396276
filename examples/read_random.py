#!/usr/bin/env python3
"""Writes N random bytes from a module to standard output, through ctypes.

    read_random.py N [SELECTOR] [raw]

The library is librngacq (real modules); set RNGACQ_LIBRARY to another path, such as
librngacq-sim.so.0 (simulated modules, configured by RNGACQ_SIM), to try it without hardware.
"""
import ctypes
import ctypes.util
import os
import sys

MODE_RAW = 3


def load():
    name = os.environ.get("RNGACQ_LIBRARY") or ctypes.util.find_library("rngacq")
    if not name:
        sys.exit("read_random.py: librngacq not found (set RNGACQ_LIBRARY)")
    lib = ctypes.CDLL(name)
    lib.rngacq_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.rngacq_set_mode.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.rngacq_read.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                ctypes.POINTER(ctypes.c_size_t)]
    lib.rngacq_close.argtypes = [ctypes.c_void_p]
    lib.rngacq_strerror.argtypes = [ctypes.c_int]
    lib.rngacq_strerror.restype = ctypes.c_char_p
    return lib


def main(argv):
    if not 2 <= len(argv) <= 4 or not argv[1].isdigit():
        sys.exit("usage: read_random.py N [SELECTOR] [raw]")
    remaining = int(argv[1])
    lib = load()
    module = ctypes.c_void_p()
    selector = argv[2].encode() if len(argv) > 2 else None
    error = lib.rngacq_open(selector, ctypes.byref(module))
    if error == 0 and len(argv) > 3 and argv[3] == "raw":
        error = lib.rngacq_set_mode(module, MODE_RAW)
    buffer = ctypes.create_string_buffer(1 << 16)
    out = sys.stdout.buffer
    while error == 0 and remaining > 0:
        done = ctypes.c_size_t(0)
        error = lib.rngacq_read(module, buffer, min(remaining, len(buffer)), ctypes.byref(done))
        out.write(buffer.raw[:done.value])
        remaining -= done.value
    out.flush()
    if error != 0:
        print("read_random.py: " + lib.rngacq_strerror(error).decode(), file=sys.stderr)
    if module.value and lib.rngacq_close(module) != 0 and error == 0:
        error = -1
    return 0 if error == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
