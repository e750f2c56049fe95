#!/usr/bin/env python3
"""Cuts the ELF kernel out of an x86 bzImage whose payload is XZ-compressed.

    extract-vmlinux.py BZIMAGE OUTPUT
"""
import lzma
import sys


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: extract-vmlinux.py BZIMAGE OUTPUT", file=sys.stderr)
        return 2
    image = open(sys.argv[1], "rb").read()
    magic = b"\xfd7zXZ\x00"
    start = image.find(magic)
    # The magic can occur by chance before the payload: try each place until one decompresses
    # to an ELF file.
    while start >= 0:
        try:
            data = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(image[start:])
        except lzma.LZMAError:
            data = b""
        if data.startswith(b"\x7fELF"):
            with open(sys.argv[2], "wb") as out:
                out.write(data)
            return 0
        start = image.find(magic, start + 1)
    print(f"extract-vmlinux: {sys.argv[1]}: no XZ-compressed ELF payload", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
