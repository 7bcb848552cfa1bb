#!/usr/bin/env python3
"""Writes the port_ioctl fuzzer's seed corpus and dictionary (format: fuzz/decoder.h).

    fuzz/make_corpus.py [corpus directory] [dictionary file]

One seed per serial function, each sending the request with buffers one byte short of its
structure, exactly its size and larger; then scenarios that get data and modem events
flowing through the loopback plug with requests left pending across cancel, purge, close and
the plug being pulled. Inputs libFuzzer found and that were kept are named found-*; this
script leaves them alone.
"""
import os
import struct
import sys

SERIAL, ANY, INTERNAL, WRITE, READ, TIME, CANCEL, AWAIT, REOPEN, CABLE = 0, 7, 8, 9, 10, 11, 12, 13, 14, 15
WAIT, PENDING = 1, 0


def ioctl(function, input_bytes=b"", output_length=0, wait=WAIT, method=0):
    return (bytes([SERIAL, function, method, wait]) + struct.pack("<II", len(input_bytes), output_length) +
            input_bytes)


def any_ioctl(code, input_bytes=b"", output_length=0, wait=WAIT):
    return bytes([ANY]) + struct.pack("<I", code) + bytes([wait]) + struct.pack("<II", len(input_bytes),
                                                                                 output_length) + input_bytes


def internal(function, input_bytes=b"", output_length=0, wait=WAIT):
    return bytes([INTERNAL, 0, function, 0, wait]) + struct.pack("<II", len(input_bytes), output_length) + input_bytes


def write(data, wait=WAIT):
    return bytes([WRITE, wait]) + struct.pack("<I", len(data)) + data


def read(length, wait=WAIT):
    return bytes([READ, wait]) + struct.pack("<I", length)


def time_ms(ms):
    return bytes([TIME, ms]) if ms < 128 else bytes([TIME, 0x80 | min(ms // 10, 127)])


def cancel(index):
    return bytes([CANCEL, index])


def await_(index):
    return bytes([AWAIT, index])


# Serial functions: (name, input structure, output length).
BAUD = struct.pack("<I", 115200)
LINE = bytes([0, 0, 8])  # StopBits, Parity, WordLength
TIMEOUTS = struct.pack("<5I", 10, 1, 100, 1, 100)
HANDFLOW = struct.pack("<IIii", 0x01 | 0x08, 0x80 | 0x03, 2048, 512)  # DTR control + CTS; RTS control + XON/XOFF
CHARS = bytes([0, 0, 0, 0, 0x11, 0x13])  # Eof, Error, Break, Event, Xon, Xoff
QUEUE = struct.pack("<II", 8192, 4096)
PURGE_ALL = struct.pack("<I", 0xF)
MASK = struct.pack("<I", 0x1FFF)
BASIC = struct.pack("<5I", 0, 0, 0, 0, 0) + struct.pack("<IIii", 0, 0, 0, 0) + struct.pack("<II", 60, 8)

FUNCTIONS = {
    1: ("set_baud_rate", BAUD, 0),
    2: ("set_queue_size", QUEUE, 0),
    3: ("set_line_control", LINE, 0),
    4: ("set_break_on", b"", 0),
    5: ("set_break_off", b"", 0),
    6: ("immediate_char", b"A", 0),
    7: ("set_timeouts", TIMEOUTS, 0),
    8: ("get_timeouts", b"", 20),
    9: ("set_dtr", b"", 0),
    10: ("clr_dtr", b"", 0),
    11: ("reset_device", b"", 0),
    12: ("set_rts", b"", 0),
    13: ("clr_rts", b"", 0),
    14: ("set_xoff", b"", 0),
    15: ("set_xon", b"", 0),
    16: ("get_wait_mask", b"", 4),
    17: ("set_wait_mask", MASK, 0),
    18: ("wait_on_mask", b"", 4),
    19: ("purge", PURGE_ALL, 0),
    20: ("get_baud_rate", b"", 4),
    21: ("get_line_control", b"", 3),
    22: ("get_chars", b"", 6),
    23: ("set_chars", CHARS, 0),
    24: ("get_handflow", b"", 16),
    25: ("set_handflow", HANDFLOW, 0),
    26: ("get_modemstatus", b"", 4),
    27: ("get_commstatus", b"", 20),
    28: ("xoff_counter", struct.pack("<IiB3x", 100, 10, 0x13), 0),
    29: ("get_properties", b"", 64),
    30: ("get_dtrrts", b"", 4),
    31: ("lsrmst_insert", b"\xff", 0),
    32: ("config_size", b"", 4),
    33: ("get_commconfig", b"", 64),
    34: ("set_commconfig", bytes(64), 0),
    35: ("get_stats", b"", 24),
    36: ("clear_stats", b"", 0),
    37: ("get_modem_control", b"", 4),
    38: ("set_modem_control", struct.pack("<I", 3), 0),
    39: ("set_fifo_control", struct.pack("<I", 0xC7), 0),
}


def sized(function, structure, output_length):
    """The request with both buffers one short of the structure, at its size, and 300 bytes."""
    steps = b""
    for delta in (-1, 0):
        length_in = max(len(structure) + delta, 0)
        length_out = max(output_length + delta, 0)
        steps += ioctl(function, structure[:length_in], length_out)
    steps += ioctl(function, structure + bytes(300 - len(structure)), 300)
    return steps


def seeds():
    out = {}
    for function, (name, structure, output_length) in FUNCTIONS.items():
        out["ioctl-%02d-%s" % (function, name)] = bytes([function]) + sized(function, structure, output_length)
    out["ioctl-00-unassigned-and-methods"] = (bytes([0]) + ioctl(0, b"", 0) + ioctl(40, b"\x01" * 8, 8) +
                                              ioctl(1, BAUD, 0, method=0xC3) + ioctl(20, b"", 4, method=0xC1) +
                                              ioctl(25, HANDFLOW, 16, method=0xC2) +
                                              any_ioctl(0x002D0000, b"x" * 16, 16) + any_ioctl(0xFFFFFFFF))
    out["scenario-loopback-echo"] = (bytes([100]) + ioctl(1, BAUD) + ioctl(7, TIMEOUTS) + write(b"hello, loop") +
                                     read(11) + ioctl(27, b"", 20) + ioctl(35, b"", 16))
    out["scenario-read-pending-then-cancel"] = (bytes([101]) + ioctl(7, struct.pack("<5I", 0, 0, 0, 0, 0)) +
                                                read(64, PENDING) + time_ms(50) + cancel(1) + await_(1) +
                                                write(b"late"))
    out["scenario-read-pending-at-close"] = (bytes([102]) + read(200, PENDING) + write(b"x" * 100, PENDING) +
                                             time_ms(20))
    out["scenario-purge-with-pending"] = (bytes([103]) + ioctl(25, HANDFLOW) + write(b"y" * 300, PENDING) +
                                          read(300, PENDING) + ioctl(19, PURGE_ALL) + time_ms(30) +
                                          ioctl(27, b"", 20))
    out["scenario-wait-mask-and-modem-lines"] = (bytes([104]) + ioctl(17, MASK) + ioctl(18, b"", 4, PENDING) +
                                                 ioctl(9) + ioctl(12) + time_ms(20) + ioctl(10) + ioctl(13) +
                                                 ioctl(4) + time_ms(20) + ioctl(5) + ioctl(26, b"", 4) +
                                                 ioctl(16, b"", 4))
    out["scenario-queue-size-during-stream"] = (bytes([105]) + write(b"z" * 250, PENDING) + ioctl(2, QUEUE) +
                                                read(250, PENDING) + time_ms(100) + ioctl(2, struct.pack(
                                                    "<II", 64, 64)) + await_(2))
    out["scenario-immediate-behind-flow-off"] = (bytes([106]) + ioctl(13) + ioctl(25, struct.pack(
        "<IIii", 0x08, 0, 100, 100)) + write(b"held", PENDING) + ioctl(6, b"!", 0, PENDING) + time_ms(40) +
                                                 ioctl(12) + time_ms(40) + read(5))
    out["scenario-xon-xoff"] = (bytes([107]) + ioctl(23, CHARS) + ioctl(25, struct.pack("<IIii", 0, 0x03, 16, 16)) +
                                write(b"\x13abc\x11def", PENDING) + ioctl(14) + time_ms(20) + ioctl(15) +
                                read(8, PENDING) + time_ms(100))
    out["scenario-reopen-with-pending"] = (bytes([108]) + read(10, PENDING) + write(b"abc", PENDING) +
                                           bytes([REOPEN]) + write(b"defghij") + read(7) + bytes([REOPEN]))
    out["scenario-cable-pulled"] = (bytes([109]) + ioctl(17, MASK) + ioctl(18, b"", 4, PENDING) +
                                    read(20, PENDING) + bytes([CABLE]) + ioctl(9) + time_ms(20) + bytes([CABLE]) +
                                    write(b"back") + time_ms(20))
    out["scenario-internal-settings"] = (bytes([110]) + ioctl(7, TIMEOUTS) + internal(3, b"", 44) + ioctl(
        8, b"", 20) + internal(4, BASIC) + internal(4, BASIC[:43]) + internal(3, b"", 43) + internal(1) +
                                         internal(2) + internal(0x7F, b"\x00" * 8, 8))
    out["scenario-timeouts-and-time"] = (bytes([111]) + ioctl(7, struct.pack("<5I", 20, 0, 0, 0, 0)) +
                                         write(b"ab") + read(100, PENDING) + time_ms(1000) +
                                         ioctl(7, struct.pack("<5I", 0xFFFFFFFF, 0, 0, 0, 0)) + read(10) +
                                         ioctl(7, struct.pack("<5I", 0xFFFFFFFF, 0xFFFFFFFF, 50, 0, 0)) +
                                         read(10) + time_ms(200))
    out["scenario-low-baud-write-timeout"] = (bytes([112]) + ioctl(1, struct.pack("<I", 300)) +
                                              ioctl(7, struct.pack("<5I", 0, 0, 0, 1, 10)) + write(b"w" * 200) +
                                              ioctl(27, b"", 20) + ioctl(1, struct.pack("<I", 0)) +
                                              ioctl(3, bytes([2, 4, 5])))
    return out


DICTIONARY = [
    ("baud_115200", struct.pack("<I", 115200)),
    ("baud_9600", struct.pack("<I", 9600)),
    ("baud_460800", struct.pack("<I", 460800)),
    ("len_handflow", struct.pack("<I", 16)),
    ("len_timeouts", struct.pack("<I", 20)),
    ("len_basic", struct.pack("<I", 44)),
    ("len_commprop", struct.pack("<I", 64)),
    ("len_ulong", struct.pack("<I", 4)),
    ("len_chars", struct.pack("<I", 6)),
    ("maxulong", b"\xff\xff\xff\xff"),
    ("xon_xoff", b"\x11\x13"),
    ("purge_all", struct.pack("<I", 0xF)),
    ("mask_all", struct.pack("<I", 0x1FFF)),
    ("code_wait_on_mask", struct.pack("<I", 0x001B0048)),
    ("code_internal_basic", struct.pack("<I", 0x001B000C)),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus", "port_ioctl")
    dictionary = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "port_ioctl.dict")
    os.makedirs(corpus, exist_ok=True)
    for name, data in seeds().items():
        with open(os.path.join(corpus, name), "wb") as f:
            f.write(data)
    with open(dictionary, "w") as f:
        f.write("# Values the port_ioctl fuzzer's inputs carry (written by fuzz/make_corpus.py).\n")
        for name, value in DICTIONARY:
            f.write('%s="%s"\n' % (name, "".join("\\x%02X" % b for b in value)))


if __name__ == "__main__":
    main()
