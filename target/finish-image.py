#!/usr/bin/env python3
"""Does to the linked driver image what the platform's own linker does for a driver: the INIT
section (DriverEntry, run once) is marked discardable, and the image checksum, which Windows
checks before it loads a driver, is written last.

Usage: finish-image.py <image>"""

import sys

from pe_file import IMAGE_SCN_MEM_DISCARDABLE, PeImage


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    with open(path, "rb") as f:
        image = PeImage(f.read())
    init = image.section("INIT")
    if init is None:
        sys.exit("finish-image: %s has no INIT section" % path)
    image.set_section_characteristics(init, init.characteristics | IMAGE_SCN_MEM_DISCARDABLE)
    image.set_checksum(image.computed_checksum())
    with open(path, "wb") as f:
        f.write(image.data)


if __name__ == "__main__":
    main()
