#!/usr/bin/env python3
"""Turns the Intel HEX output of the two 8051 programs into the driver's image arrays.

Each image becomes an array of FirmwareRecord in address order: runs of consecutive bytes
cut at every 16-byte boundary of the address (so that no record crosses from internal RAM at
0x1B3F to 0x1B40, a boundary of that kind), at most 16 data bytes a record, data beyond the
length zero, ended by the record Type 1, Length 0, Address 0.
"""
import argparse
import sys

RECORD_DATA = 16
INTERNAL_RAM_LAST = 0x1B3F
REGISTER_PAGE_FIRST = 0x7800
EXTERNAL_RAM_FIRST = 0x8000


class ImageError(Exception):
    pass


def read_hex(path):
    """Address -> byte of every data record; refuses bad checksums and bytes written twice."""
    memory = {}
    ended = False
    with open(path, encoding="ascii") as source:
        for number, line in enumerate(source, 1):
            line = line.strip()
            if not line:
                continue
            where = f"{path}:{number}"
            if not line.startswith(":") or len(line) < 11 or len(line) % 2 == 0:
                raise ImageError(f"{where}: not an Intel HEX record")
            raw = bytes.fromhex(line[1:])
            if sum(raw) & 0xFF:
                raise ImageError(f"{where}: checksum does not match")
            length, address, kind, data = raw[0], raw[1] << 8 | raw[2], raw[3], raw[4:-1]
            if len(data) != length:
                raise ImageError(f"{where}: length {length} but {len(data)} data bytes")
            if ended:
                raise ImageError(f"{where}: record after the end record")
            if kind == 1:
                ended = True
                continue
            if kind != 0:
                raise ImageError(f"{where}: record type {kind} has no place in a 64 KB image")
            for offset, value in enumerate(data):
                at = address + offset
                if at > 0xFFFF:
                    raise ImageError(f"{where}: data beyond 0xFFFF")
                if at in memory and memory[at] != value:
                    raise ImageError(f"{where}: 0x{at:04X} written twice (two parts of the program overlap)")
                memory[at] = value
    if not ended:
        raise ImageError(f"{path}: no end record")
    if not memory:
        raise ImageError(f"{path}: no data")
    return memory


def check_placement(name, memory, external_allowed):
    for at in memory:
        if INTERNAL_RAM_LAST < at < EXTERNAL_RAM_FIRST:
            raise ImageError(f"{name}: byte at 0x{at:04X}, where the controller has no RAM")
        if at >= EXTERNAL_RAM_FIRST and not external_allowed:
            raise ImageError(f"{name}: byte at 0x{at:04X} in external RAM, which nothing can load before it runs")


def records(memory):
    """(address, data) in address order, each within one aligned 16-byte block."""
    out = []
    run_start = None
    data = []
    for at in sorted(memory):
        continues = run_start is not None and at == run_start + len(data) and at % RECORD_DATA != 0
        if not continues and data:
            out.append((run_start, bytes(data)))
            data = []
        if not data:
            run_start = at
        data.append(memory[at])
    if data:
        out.append((run_start, bytes(data)))
    for address, chunk in out:
        last = address + len(chunk) - 1
        if len(chunk) > RECORD_DATA or (address <= INTERNAL_RAM_LAST) != (last <= INTERNAL_RAM_LAST):
            raise ImageError(f"record at 0x{address:04X} of {len(chunk)} bytes breaks the record rules")
    return out


def array(name, recs):
    lines = [f'extern "C" const FirmwareRecord {name}[] = {{']
    for address, chunk in recs:
        padded = list(chunk) + [0] * (RECORD_DATA - len(chunk))
        values = ", ".join(f"0x{b:02X}" for b in padded)
        lines.append(f"    {{{len(chunk)}, 0x{address:04X}, FIRMWARE_RECORD_DATA_TYPE, {{{values}}}, 0}},")
    lines.append("    {0, 0x0000, FIRMWARE_RECORD_END_TYPE, {0}, 0},")
    lines.append("};")
    return "\n".join(lines)


def summary(name, recs):
    internal = sum(1 for address, _ in recs if address <= INTERNAL_RAM_LAST)
    data = sum(len(chunk) for _, chunk in recs)
    return (f"// {name}: {len(recs) + 1} records with the end record, {data} data bytes; "
            f"{internal} for internal RAM, {len(recs) - internal} for external RAM.")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loader", required=True, help="Intel HEX of the loader")
    parser.add_argument("--main", required=True, help="Intel HEX of the main firmware")
    parser.add_argument("--output", required=True, help="C++ source to write")
    args = parser.parse_args()
    try:
        loader = read_hex(args.loader)
        main_firmware = read_hex(args.main)
        check_placement("loader", loader, external_allowed=False)
        check_placement("main firmware", main_firmware, external_allowed=True)
        loader_records = records(loader)
        main_records = records(main_firmware)
    except (ImageError, OSError, ValueError) as error:
        print(f"FIRMWARE BUILD FAILED: {error}", file=sys.stderr)
        return 1
    text = "\n".join([
        "// Generated at build time from the 8051 programs in firmware/ by",
        "// firmware/tools/ihx_to_records.py; not to be edited.",
        summary("LoaderImage", loader_records),
        summary("MainFirmwareImage", main_records),
        '#include "adapter/firmware_record.h"',
        "",
        array("LoaderImage", loader_records),
        "",
        array("MainFirmwareImage", main_records),
        "",
    ])
    with open(args.output, "w", encoding="ascii") as output:
        output.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
