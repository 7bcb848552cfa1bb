#!/usr/bin/env python3
"""The converter's rules on small hand-made HEX files: how records are cut, and what it refuses."""
import os
import subprocess
import sys
import tempfile
import unittest

import ihx_to_records as converter

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ihx_to_records.py")


def hex_record(address, data, kind=0):
    raw = bytes([len(data), address >> 8, address & 0xFF, kind]) + bytes(data)
    return ":" + (raw + bytes([(-sum(raw)) & 0xFF])).hex().upper()


def hex_file(*records):
    return "\n".join(list(records) + [hex_record(0, b"", kind=1)]) + "\n"


class Cutting(unittest.TestCase):
    def test_runs_are_cut_at_every_16_byte_boundary_and_never_across_internal_ram_end(self):
        memory = {0x1B38 + i: i + 1 for i in range(0x20)}  # 0x1B38-0x1B57
        memory.update({0x8000 + i: 0xAA for i in range(3)})
        records = converter.records(memory)
        self.assertEqual([(a, len(d)) for a, d in records], [(0x1B38, 8), (0x1B40, 16), (0x1B50, 8), (0x8000, 3)])

    def test_gaps_start_a_new_record(self):
        records = converter.records({0x0000: 1, 0x0001: 2, 0x0005: 3})
        self.assertEqual(records, [(0x0000, bytes([1, 2])), (0x0005, bytes([3]))])


class Refusals(unittest.TestCase):
    def convert(self, loader_text, main_text):
        with tempfile.TemporaryDirectory() as folder:
            paths = [os.path.join(folder, name) for name in ("loader.ihx", "main.ihx", "out.cpp")]
            for path, text in zip(paths, (loader_text, main_text)):
                with open(path, "w", encoding="ascii") as f:
                    f.write(text)
            run = subprocess.run([sys.executable, TOOL, "--loader", paths[0], "--main", paths[1], "--output", paths[2]],
                                 capture_output=True, text=True)
            output = None
            if os.path.exists(paths[2]):
                with open(paths[2], encoding="ascii") as f:
                    output = f.read()
            return run.returncode, run.stderr, output

    good = hex_file(hex_record(0x0000, [0x02, 0x01, 0x00]))

    def test_a_good_pair_gives_both_arrays_ended_by_the_end_record(self):
        rc, _, output = self.convert(self.good, hex_file(hex_record(0x8000, list(range(20)))))
        self.assertEqual(rc, 0)
        self.assertIn('const FirmwareRecord LoaderImage[]', output)
        self.assertIn("{16, 0x8000, FIRMWARE_RECORD_DATA_TYPE", output)
        self.assertIn("{4, 0x8010, FIRMWARE_RECORD_DATA_TYPE, {0x10, 0x11, 0x12, 0x13, 0x00,", output)
        self.assertTrue(output.rstrip().endswith("{0, 0x0000, FIRMWARE_RECORD_END_TYPE, {0}, 0},\n};"))

    def test_bad_input_is_refused_with_a_reason_and_no_output(self):
        bad_checksum = hex_file(hex_record(0x0000, [1, 2])[:-2] + "00")
        overlap = hex_file(hex_record(0x0100, [1, 2]), hex_record(0x0101, [3]))
        no_ram = hex_file(hex_record(0x1B40, [1]))
        loader_outside = hex_file(hex_record(0x9000, [1]))
        no_end = hex_record(0x0000, [1]) + "\n"
        for name, loader, main, reason in [
            ("checksum", bad_checksum, self.good, "checksum"),
            ("overlap", self.good, overlap, "written twice"),
            ("gap", self.good, no_ram, "no RAM"),
            ("loader in external RAM", loader_outside, self.good, "external RAM"),
            ("no end record", self.good, no_end, "no end record"),
        ]:
            with self.subTest(name):
                rc, stderr, output = self.convert(loader, main)
                self.assertEqual(rc, 1)
                self.assertIn(reason, stderr)
                self.assertIsNone(output)


if __name__ == "__main__":
    unittest.main()
