#!/usr/bin/env python3
"""Checks that the linked driver image is one Windows 2000 would load as a WDM driver.

Usage: check-image.py <image> <kernel-imports.txt> [--dispatch-log FILE] [--firmware FILE]
                      [--pageable FILE]

The image's own COFF symbol table (read with the cross objdump) locates DriverEntry and what
sits in the pageable sections. With --dispatch-log, the routines the host build saw running at
DISPATCH_LEVEL (simkernel's dispatch trace: "<host executable> <offset>" lines) must have no
namesake in a pageable section. With --firmware (the host build's generated
firmware_images.cpp), the image must carry the same record arrays byte for byte. With
--pageable, every routine the file names must sit in a pageable section. Prints every
finding; exit 1 if there is any."""

import collections
import os
import re
import struct
import subprocess
import sys

from pe_file import (DIRECTORY_BASERELOC, DIRECTORY_EXPORT, DIRECTORY_TLS, IMAGE_SCN_CNT_CODE,
                     IMAGE_SCN_MEM_DISCARDABLE, IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_WRITE, PeError,
                     PeImage)

MACHINE_I386 = 0x14C
SUBSYSTEM_NATIVE = 1
DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
DRIVER_IMAGE_BASE = 0x10000
PAGE_SIZE = 0x1000
WINDOWS_2000 = (5, 0)
ENTRY_SYMBOL = "_DriverEntry@8"
FIRMWARE_ARRAYS = ("LoaderImage", "MainFirmwareImage")
FIRMWARE_RECORD_SIZE = 22
# What the compiler's runtime, not the driver, would bring into an image.
RUNTIME_SECTIONS = re.compile(r"^(\.eh_fram.*|\.ctors.*|\.dtors.*|\.CRT.*|\.tls.*|\.gcc_except.*|\.pdata|\.xdata)$")


def tool(name):
    prefix = os.environ.get("ZEL_TARGET_TOOL_PREFIX", "i686-w64-mingw32-")
    return prefix + name


def read_allowed(path):
    allowed = {}
    with open(path) as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if not line:
                continue
            module, routine, version = line
            allowed[(module.lower(), routine)] = tuple(int(p) for p in version.split("."))
    return allowed


def image_symbols(path):
    """[(section number from 1, value within the section, name, is function)]"""
    out = subprocess.run([tool("objdump"), "-t", path], check=True, capture_output=True, text=True).stdout
    symbols = []
    for line in out.splitlines():
        m = re.match(r"\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl 0x[0-9a-f]+\)\(ty\s+([0-9a-f]+)\)\(scl\s+\d+\) \(nx \d+\) 0x([0-9a-f]+) (\S+)", line)
        if m:
            symbols.append((int(m.group(1)), int(m.group(3), 16), m.group(4), m.group(2) == "20"))
    return symbols


def demangle(names):
    if not names:
        return {}
    out = subprocess.run(["c++filt"], input="\n".join(names), check=True, capture_output=True, text=True).stdout
    return dict(zip(names, out.splitlines()))


def routine_name(demangled):
    """The routine's qualified name without its parameters, clone or alias suffixes."""
    name = demangled.split("(", 1)[0]
    return name.split(".", 1)[0]


def target_symbol_base(name):
    name = re.sub(r"@\d+$", "", name)
    return name[1:] if name.startswith("_") else name


def host_routines(log_path):
    by_module = collections.defaultdict(set)
    with open(log_path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2:
                by_module[parts[0]].add(int(parts[1], 16))
    names = set()
    for module, offsets in by_module.items():
        if not os.path.exists(module):
            continue
        out = subprocess.run(["nm", "--defined-only", module], check=True, capture_output=True, text=True).stdout
        at = collections.defaultdict(list)
        for line in out.splitlines():
            parts = line.split()
            if len(parts) == 3 and parts[1] in "tTwW":
                at[int(parts[0], 16)].append(parts[2])
        found = [name for offset in offsets for name in at.get(offset, [])]
        names.update(routine_name(d) for d in demangle(found).values())
    return names


def generated_records(path):
    """{array name: bytes of its records} from the generated source of the host build."""
    arrays = {}
    current = None
    record = re.compile(r"\{(\d+), 0x([0-9A-Fa-f]+), (\w+), \{([^}]*)\}, (\d+)\}")
    types = {"FIRMWARE_RECORD_DATA_TYPE": 0, "FIRMWARE_RECORD_END_TYPE": 1}
    with open(path) as f:
        for line in f:
            m = re.search(r"FirmwareRecord (\w+)\[\]", line)
            if m:
                current = m.group(1)
                arrays[current] = bytearray()
                continue
            m = record.search(line)
            if m and current:
                data = [int(b, 16) for b in m.group(4).replace(" ", "").split(",") if b]
                data += [0] * (16 - len(data))
                kind = types.get(m.group(3), None)
                kind = int(m.group(3), 0) if kind is None else kind
                arrays[current] += struct.pack("<HHB16BB", int(m.group(1)), int(m.group(2), 16), kind, *data,
                                               int(m.group(5)))
    return arrays


def check_firmware(image, symbols, generated):
    findings = []
    expected = generated_records(generated)
    for name in FIRMWARE_ARRAYS:
        want = expected.get(name)
        at = [s for s in symbols if s[2] == "_" + name and s[0] > 0]
        if not want:
            findings.append("%s is not in %s" % (name, generated))
        elif not at:
            findings.append("the image carries no %s" % name)
        elif image.read(image.sections[at[0][0] - 1].rva + at[0][1], len(want)) != bytes(want):
            findings.append("%s in the image differs from the host build's (%d records)"
                            % (name, len(want) // FIRMWARE_RECORD_SIZE))
    return findings


def read_names(path):
    with open(path) as f:
        return [line.split("#", 1)[0].strip() for line in f if line.split("#", 1)[0].strip()]


def check(path, allowed, dispatch_log, firmware=None, pageable_list=None):
    findings = []
    with open(path, "rb") as f:
        image = PeImage(f.read())

    if image.machine != MACHINE_I386:
        findings.append("machine 0x%x, not i386" % image.machine)
    if image.subsystem != SUBSYSTEM_NATIVE:
        findings.append("subsystem %d, not native (1)" % image.subsystem)
    if image.dll_characteristics != DLLCHARACTERISTICS_WDM_DRIVER:
        findings.append("DLL characteristics 0x%04x, not WDM driver (0x2000) alone" % image.dll_characteristics)
    if image.image_base != DRIVER_IMAGE_BASE:
        findings.append("image base 0x%x, not a driver's 0x10000" % image.image_base)
    if image.section_alignment != PAGE_SIZE:
        findings.append("section alignment 0x%x, not a page" % image.section_alignment)
    if image.file_alignment < 0x200 or image.file_alignment > image.section_alignment or \
            image.file_alignment & (image.file_alignment - 1):
        findings.append("file alignment 0x%x" % image.file_alignment)
    if image.checksum == 0 or image.checksum != image.computed_checksum():
        findings.append("checksum 0x%08x, the image sums to 0x%08x" % (image.checksum, image.computed_checksum()))
    if image.directory(DIRECTORY_BASERELOC)[1] == 0:
        findings.append("no base relocations: the image cannot be loaded elsewhere than its base")
    if image.directory(DIRECTORY_TLS)[1] != 0:
        findings.append("has a TLS directory")
    if image.directory(DIRECTORY_EXPORT)[1] != 0:
        findings.append("exports symbols")

    for section in image.sections:
        if RUNTIME_SECTIONS.match(section.name):
            findings.append("section %s belongs to the C/C++ runtime" % section.name)
        code = section.characteristics & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE)
        if code and section.characteristics & IMAGE_SCN_MEM_WRITE:
            findings.append("section %s is writable code" % section.name)
    init, page = image.section("INIT"), image.section("PAGE")
    if init is None or not init.characteristics & IMAGE_SCN_MEM_DISCARDABLE:
        findings.append("no discardable INIT section")
    if page is not None and page.characteristics & IMAGE_SCN_MEM_DISCARDABLE:
        findings.append("PAGE is discardable")

    for module, name in image.imports():
        if name is None:
            findings.append("import by ordinal from %s" % module)
            continue
        version = allowed.get((module.lower(), name))
        if version is None:
            findings.append("import %s!%s is not on the list of routines the driver may import" % (module, name))
        elif version > WINDOWS_2000:
            findings.append("import %s!%s needs Windows %s" % (module, name, ".".join(map(str, version))))

    symbols = image_symbols(path)
    entry = [s for s in symbols if s[2] == ENTRY_SYMBOL and s[0] > 0]
    if not entry:
        findings.append("no %s" % ENTRY_SYMBOL)
    else:
        section = image.sections[entry[0][0] - 1]
        if section.rva + entry[0][1] != image.entry_rva:
            findings.append("entry point 0x%x is not %s" % (image.entry_rva, ENTRY_SYMBOL))
        if section.name != "INIT":
            findings.append("%s is in %s, not INIT" % (ENTRY_SYMBOL, section.name))

    if firmware is not None:
        findings += check_firmware(image, symbols, firmware)

    pageable = {i + 1 for i, s in enumerate(image.sections) if s.name.startswith("PAGE")}
    paged = [target_symbol_base(s[2]) for s in symbols if s[0] in pageable and s[3]]
    paged_names = {routine_name(d): d for d in demangle(paged).values()}
    if pageable_list is not None:
        for name in read_names(pageable_list):
            if name not in paged_names:
                findings.append("%s should be pageable but is not in a PAGE section" % name)

    if dispatch_log is not None:
        seen = host_routines(dispatch_log)
        for name in sorted(seen & paged_names.keys()):
            findings.append("%s runs at DISPATCH_LEVEL but sits in a pageable section" % paged_names[name])
    return findings


def main():
    args = sys.argv[1:]
    options = {}
    for option in ("--dispatch-log", "--firmware", "--pageable"):
        if option in args:
            at = args.index(option)
            options[option] = args[at + 1]
            del args[at:at + 2]
    if len(args) != 2:
        sys.exit(__doc__)
    if not os.path.exists(args[0]) and os.environ.get("CI") != "true":
        print("image check skipped: no image at %s (is the cross compiler installed?)" % args[0])
        sys.exit(77)
    try:
        findings = check(args[0], read_allowed(args[1]), options.get("--dispatch-log"), options.get("--firmware"),
                         options.get("--pageable"))
    except (PeError, OSError, subprocess.CalledProcessError) as error:
        findings = ["cannot read the image: %s" % error]
    for finding in findings:
        print("IMAGE CHECK: " + finding)
    if findings:
        print("IMAGE CHECK FAILED: %s, %d finding(s)" % (args[0], len(findings)))
        sys.exit(1)
    print("image check: %s loads as a Windows 2000 WDM driver image as far as its headers, sections and imports show"
          % args[0])


if __name__ == "__main__":
    main()
