#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The targets read their input through libFuzzer's FuzzedDataProvider: byte strings from the
front, numbers and flags from the back (the last byte first). Seed builds an input the same way,
so that each seed reaches a meaningful case: a module that opens, a block that arrives whole.
"""
import os
import struct
import sys


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the target consumes them

    # ---- from the back
    def integral(self, value, size):
        self.back += value.to_bytes(size, "big")  # most significant byte is consumed first
        return self

    def in_range(self, value, low, high):
        span = high - low
        count = 0
        while count < 8 and (span >> (8 * count)) > 0:
            count += 1
        return self.integral(value - low, count) if count else self

    def flag(self, value):
        return self.integral(1 if value else 0, 1)

    def probability(self, low):
        return self.integral(0 if low else 0xFFFFFFFF, 4)

    # ---- from the front
    def raw(self, data):
        self.front += bytes(data)
        return self

    def sized(self, data, most):
        data = bytes(data)[:most]
        self.in_range(len(data), 0, most)
        return self.raw(data)

    def string(self, text):
        self.front += text.replace(b"\\", b"\\\\") + b"\\ "
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def device_descriptor(vendor=0x04B4, product=0x1004, configurations=1):
    return struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0, 0, 0, 64, vendor, product, 0x0100, 1, 2, 3, configurations)


def config_descriptor(endpoints, alt_entries=()):
    body = bytearray([9, 4, 0, 0, len(endpoints), 0xFF, 0, 0, 0])
    for address, attributes, packet in endpoints:
        body += struct.pack("<BBBBHB", 7, 5, address, attributes, packet, 0)
    for alt, extra in alt_entries:
        body += bytes([9, 4, 0, alt, len(extra), 0xFF, 0, 0, 0])
        for address, attributes, packet in extra:
            body += struct.pack("<BBBBHB", 7, 5, address, attributes, packet, 0)
    head = struct.pack("<BBHBBBBB", 9, 2, 9 + len(body), 1, 1, 0, 0x80, 50)
    return head + bytes(body)


def string_descriptor(text):
    units = text.encode("utf-16-le")
    return bytes([2 + len(units), 3]) + units


def device_open(device, configs, languages=(0x0409,), strings=None, high_speed=True, alt=0,
                version=None, devices=1, texts=(b"maker", b"module", b"SIM-1")):
    s = Seed().flag(high_speed).integral(alt, 1)
    s.flag(version is None)
    if version is not None:
        s.integral(version, 4)
    s.probability(False).probability(False).probability(False).probability(False)
    s.flag(strings is not None).flag(False).in_range(devices, 0, 2)
    s.sized(device, 24)
    s.in_range(len(configs), 0, 3)
    for config in configs:
        s.sized(config, 700)
    s.in_range(len(languages), 0, 4)
    for language in languages:
        s.integral(language, 2)
    for raw in strings or ():
        s.sized(raw, 260)
    s.string(texts[0]).string(texts[1]).raw(texts[2])
    return s


def block_request(length, mode=7, status=None, end=0x0D, is_last=True, high_speed=True, direct=True):
    n = (length + 15) // 16
    answer_length = 16 * (n + 4) + (0 if length == 1984 else 16)
    answer = bytearray((i * 37 + 11) & 0xFF for i in range(answer_length))
    answer[31] = 0xA0 | (mode if status is None else status)
    if 63 + 16 * n < answer_length:
        answer[63 + 16 * n] = end
    s = Seed().in_range(0, 0, 3).in_range(0, 0, 3)  # both pipes complete at once
    s.probability(False).probability(False)
    s.flag(direct).flag(direct).flag(high_speed)
    s.probability(True)  # the whole block request
    s.flag(True).flag(mode == 7)
    s.flag(True).in_range(length, 0, 1984)
    s.flag(is_last)
    return s.raw(answer)


def catalogue(text, section=2, key=12):
    s = Seed().flag(True).in_range(section, 1, 7).in_range(key, 10, 20)
    return s.raw(text)


def command_line(*arguments):
    s = Seed()
    for argument in arguments:
        s.string(argument)
    return s


def transfer(header, attributes, direct, length, answer, success=True, transferred=None):
    s = Seed().raw(header)
    for byte in (7, 5, 0x86, attributes, 0x00, 0x02, 0):
        s.integral(byte, 1)
    if attributes == 0:
        for value in (1, 2, 0, 5000):
            s.integral(value, 4)
    s.flag(direct).in_range(length, -8, 3000).flag(attributes == 1)
    s.raw(answer).flag(success).integral(len(answer) if transferred is None else transferred, 4)
    return s


def seeds():
    lang = open(os.path.join(os.path.dirname(__file__), "..", "lang.INI"), "rb").read()
    bulk = [(0x86, 2, 512), (0x02, 2, 512)]
    header = struct.pack("<BBHHHIBBIIIIII", 0x80, 6, 0x0100, 0, 18, 5, 0, 0x86, 0, 0, 0, 0, 38, 18)
    return {
        "catalogue": {
            "lang": catalogue(lang),
            "utf16": catalogue(b"\xff\xfe" + "[F002]\r\nS012=Text ; remark\r\n".encode("utf-16-le")),
            "bom": catalogue(b"\xef\xbb\xbf[f002]\n s012 = caf\xc3\xa9 \n"),
            "long": catalogue(b"[F002]\nS012=" + b"\xf0\x9f\x8e\xb2" * 200 + b"\n"),
        },
        "command_line": {
            "run": command_line(b"out.bin", b"log.txt", b"/LEN=125000", b"-files=5", b"/rndnop"),
            "help": command_line(b"/LEN=5", b"-Help"),
            "refused": command_line(b"/LEN=-5"),
            "device": command_line(b"/DEVICE=04b4:1004", b"/device=04B4:8613", b"x.bin"),
            "names": command_line(b"x.wrn", b"/FILES=abc", b"/LEN=9223372036854775808"),
        },
        "device_open": {
            "module": device_open(device_descriptor(), [config_descriptor(bulk)]),
            "full_speed": device_open(device_descriptor(), [config_descriptor([(0x86, 2, 64), (0x02, 2, 64)])],
                                      high_speed=False, version=0x01050400),
            "alternates": device_open(device_descriptor(configurations=2),
                                      [config_descriptor([(0x81, 3, 8), (0x83, 5, 8)],
                                                         [(1, [(0x82, 1, 0x1400), (0x06, 2, 512), (0x86, 2, 512)])]),
                                       config_descriptor(bulk)],
                                      languages=(0x0407, 0x0409), alt=1),
            "raw_strings": device_open(device_descriptor(), [config_descriptor(bulk)],
                                       strings=[bytes([6, 3, 9, 4, 7, 4]), string_descriptor("Maker"),
                                                bytes([255, 3]) + b"A\x00" * 20, bytes([1, 3])]),
        },
        "block_request": {
            "whole": block_request(1984, is_last=False),
            "remainder": block_request(80),
            "rndnop_full_speed": block_request(1000, mode=3, high_speed=False, direct=False),
            "end_warning": block_request(17, end=0x09),
            "wrong_status": block_request(1984, status=3, is_last=False),
        },
        "transfer_request": {
            "bulk_in": transfer(header, 2, True, 64, bytes(range(64))),
            "buffered": transfer(header, 2, False, 100, bytes(38) + bytes(range(100)), transferred=138),
            "isochronous": transfer(header, 1, False, 1500, bytes(range(200)), transferred=4000),
            "control": transfer(header, 0, False, 18, bytes(60), success=False, transferred=7),
        },
    }


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for target, files in seeds().items():
        directory = os.path.join(root, target)
        os.makedirs(directory, exist_ok=True)
        for name, seed in files.items():
            with open(os.path.join(directory, name), "wb") as out:
                out.write(seed.bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main())
