#!/usr/bin/env python3
"""Pins the summary of an installer package: its creation and save times and its package
code, which the package builder takes from the clock and a random generator.

Usage: pin_summary.py PACKAGE.msi SECONDS_SINCE_1970 {PACKAGE-CODE}

The package is a compound file; the summary is its "\\x05SummaryInformation" stream, a
property set. Only values of the same size are overwritten in place, so nothing else in
the file moves.
"""
import struct
import sys

PID_REVNUMBER = 9
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13
VT_LPSTR = 30
VT_FILETIME = 64
ENDOFCHAIN = 0xFFFFFFFE


def fail(message):
    sys.exit("pin_summary: " + message)


class CompoundFile:
    def __init__(self, data):
        if data[:8] != bytes.fromhex("D0CF11E0A1B11AE1"):
            fail("not a compound file")
        self.data = data
        self.sector_size = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini_sector_size = 1 << struct.unpack_from("<H", data, 0x20)[0]
        first_dir, = struct.unpack_from("<I", data, 0x30)
        self.mini_cutoff, first_minifat = struct.unpack_from("<II", data, 0x38)
        first_difat, difat_count = struct.unpack_from("<II", data, 0x44)

        fat_sectors = list(struct.unpack_from("<109I", data, 0x4C))
        per_sector = self.sector_size // 4
        sector = first_difat
        for _ in range(difat_count):
            entries = struct.unpack_from("<%dI" % per_sector, data, self.offset(sector))
            fat_sectors += entries[:-1]
            sector = entries[-1]
        self.fat = []
        for s in fat_sectors:
            if s < 0xFFFFFFFA:
                self.fat += struct.unpack_from("<%dI" % per_sector, data, self.offset(s))

        self.entries = []
        for s in self.chain(first_dir):
            base = self.offset(s)
            for e in range(self.sector_size // 128):
                self.entries.append(data[base + e * 128:base + (e + 1) * 128])
        root = self.entries[0]
        self.mini_stream = [self.offset(s) for s in self.chain(struct.unpack_from("<I", root, 116)[0])]
        self.minifat = []
        for s in self.chain(first_minifat):
            self.minifat += struct.unpack_from("<%dI" % per_sector, data, self.offset(s))

    def offset(self, sector):
        return (sector + 1) * self.sector_size

    def chain(self, start, table=None):
        table = self.fat if table is None else table
        sectors = []
        while start != ENDOFCHAIN and start < len(table) and len(sectors) <= len(table):
            sectors.append(start)
            start = table[start]
        return sectors

    def stream_offsets(self, name):
        """The file offset of every byte of the named stream, in order."""
        for entry in self.entries:
            length, kind = struct.unpack_from("<HB", entry, 64)
            if kind != 2 or entry[:max(length - 2, 0)].decode("utf-16-le") != name:
                continue
            start, size = struct.unpack_from("<II", entry, 116)
            offsets = []
            if size < self.mini_cutoff:
                m = self.mini_sector_size
                for s in self.chain(start, self.minifat):
                    at = s * m
                    base = self.mini_stream[at // self.sector_size] + at % self.sector_size
                    offsets += range(base, base + m)
            else:
                for s in self.chain(start):
                    base = self.offset(s)
                    offsets += range(base, base + self.sector_size)
            return offsets[:size]
        fail("no stream " + name)


def main():
    path, epoch, code = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    where = CompoundFile(data).stream_offsets("\x05SummaryInformation")
    stream = bytes(data[o] for o in where)

    section, = struct.unpack_from("<I", stream, 44)
    count, = struct.unpack_from("<I", stream, section + 4)
    patches = {}
    filetime = struct.pack("<Q", (epoch + 11644473600) * 10000000)
    for i in range(count):
        pid, at = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        at += section
        kind, = struct.unpack_from("<I", stream, at)
        if pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
            patches[at + 4] = filetime
        elif pid == PID_REVNUMBER and kind == VT_LPSTR:
            size, = struct.unpack_from("<I", stream, at + 4)
            value = code.encode("ascii") + b"\0"
            if len(value) != size:
                fail("package code of another length")
            patches[at + 8] = value
    if len(patches) != 3:
        fail("summary without its times and package code")
    for at, value in patches.items():
        for i, byte in enumerate(value):
            data[where[at + i]] = byte
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
