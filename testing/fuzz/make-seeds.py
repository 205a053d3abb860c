#!/usr/bin/env python3
"""Writes the seed corpora under corpus/<target>/ in each target's input
layout (see the header comment of each fuzz_<target>.cpp). Run it again
after changing a layout; the files are small and kept in the repository."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
DM_STATUS_TABLE_FLAG = 1 << 4
DM_IOCTL_SIZE = 312
SPEC_SIZE = 40


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def pad8(b):
    return b + b"\0" * (-len(b) % 8)


def spec(start, length, next_, type_name, status=0):
    return struct.pack("<QQiI16s", start, length, status, next_,
                       type_name.encode())


def dm_ioctl(data_size, data_start, target_count, flags=0, name=b""):
    head = struct.pack("<3IIIIiIII Q", 4, 48, 0, data_size, data_start,
                       target_count, 0, flags, 0, 0, 0)
    head += name.ljust(128, b"\0") + b"\0" * 129 + b"\0" * 7
    assert len(head) == DM_IOCTL_SIZE, len(head)
    return head


def status_reply(records, flags, data_size=None):
    """A reply as the kernel leaves it: records after the header, each
    `next` counted from data_start."""
    body = b""
    for start, length, type_name, text in records:
        rec_text = pad8(text.encode() + b"\0")
        next_ = len(body) + SPEC_SIZE + len(rec_text)
        body += spec(start, length, next_, type_name) + rec_text
    size = DM_IOCTL_SIZE + len(body) if data_size is None else data_size
    return dm_ioctl(size, DM_IOCTL_SIZE, len(records), flags,
                    b"preloader_raw_a") + body


def table_status():
    two = [(0, 8184, "linear", "8:0 8"),
           (8184, 4096, "crypt", "aes-xts-plain64 00112233445566778899 0 8:16 0")]
    # Mode 8: the whole reply as is, after the mode and the flags.
    raw = lambda flags, reply: bytes([8]) + struct.pack("<I", flags) + reply
    write("fuzz_table_status", "two-records-table",
          raw(DM_STATUS_TABLE_FLAG, status_reply(two, DM_STATUS_TABLE_FLAG)))
    write("fuzz_table_status", "two-records-status",
          raw(0, status_reply([(0, 8184, "linear", ""),
                               (8184, 4096, "crypt", "")], 0)))
    write("fuzz_table_status", "crypt-doubled-blanks",
          raw(DM_STATUS_TABLE_FLAG,
              status_reply([(0, 64, "crypt", "aes  KEY 0 8:0 0")],
                           DM_STATUS_TABLE_FLAG)))
    write("fuzz_table_status", "data-size-cuts-second",
          raw(DM_STATUS_TABLE_FLAG,
              status_reply(two, DM_STATUS_TABLE_FLAG,
                           data_size=DM_IOCTL_SIZE + 60)))
    # Mode 0: fields given, header built by the target.
    body = spec(0, 1, 0, "linear") + b"t\0\0\0\0\0\0\0"
    write("fuzz_table_status", "next-points-back",
          bytes([0]) + struct.pack("<IIII", DM_STATUS_TABLE_FLAG,
                                   DM_IOCTL_SIZE + len(body), DM_IOCTL_SIZE,
                                   3) + body)
    write("fuzz_table_status", "short-reply", raw(0, b"\0" * 100))


def redact():
    crypt = b"crypt".ljust(16, b"\0")
    lines = {
        "crypt-kernel-line": b"aes-xts-plain64 00112233445566778899 0 254:0 0",
        "crypt-doubled-blank": b"aes  KEY 0 254:0 0",
        "crypt-tripled-blank": b"aes   KEY 0",
        "crypt-one-field": b"nospace",
        "crypt-leading-blank": b" key rest",
        "crypt-trailing-blank": b"cipher ",
    }
    for name, line in lines.items():
        write("fuzz_redact", name, crypt + line)
    write("fuzz_redact", "linear", b"linear".ljust(16, b"\0") + b"254:0 8")
    write("fuzz_redact", "crypt-junk-after-nul",
          b"crypt\0junk".ljust(16, b"\0") + b"aes key 0")
    write("fuzz_redact", "type-without-nul", b"cryptcryptcrypt!" + b"aes key")


def header():
    def seed(name, head, size, reserved=0):
        write("fuzz_header", name, head + struct.pack("<QI", size, reserved))
    seed("ufs", b"UFS\0", 4 << 20)
    seed("ufs-any", b"UFSX", 8 * 512 + 511)
    seed("emmc", b"EMMC", 4 << 20, 4)
    seed("comb", b"COMB", 9 * 512)
    seed("too-small", b"EMMC", 4 * 512 + 100)
    seed("unknown-escaped", b"\xffa\\\x7f", 1 << 30, 0xFFFFFFFF)
    seed("zero-inside", b"UF\0S", (1 << 64) - 1, 8)


def properties():
    def seed(name, key, first, second=None):
        data = key + b"\n" + first
        if second is not None:
            data += b"\x1e" + second
        write("fuzz_properties", name, data)
    seed("build-prop", b"ro.boot.slot_suffix",
         b"# begin build properties\nro.build.id=UQ1A\n"
         b"ro.boot.slot_suffix=_a\nro.product.cpu.abi=arm64-v8a\n")
    seed("blanks-and-comments", b"ro.x", b"  # ro.x=1\n\n\t ro.x =  42 \r\n")
    seed("first-file-wins", b"ro.debuggable", b"ro.debuggable=0\n",
         b"ro.debuggable=1\n")
    seed("second-file", b"ro.y", b"ro.x=1\n", b"ro.y=-9223372036854775808\n")
    seed("int64-overflow", b"v", b"v=9223372036854775808\n")
    seed("uint8-edge", b"v", b"v=255\nv=256\n")
    seed("signs", b"v", b"v=+-7\n", b"v=-0\n")
    seed("equals-in-value", b"k", b"k==a=b\n")
    # A commented-out definition of a key that itself starts with "#".
    seed("comment-like-key", b"#k", b"#k=1\n", b" #k = 2\n")


def table_roundtrip():
    def linear(start_mode, length, device, backing, start=None):
        kind = 1 | (start_mode << 2)
        out = bytes([kind]) + struct.pack("<Q", length)
        if start_mode == 2:
            out += struct.pack("<Q", start)
        return out + bytes([len(device)]) + device + struct.pack("<Q", backing)

    def chosen(start_mode, length, type_name, params, refuse=False):
        kind = (2 if refuse else 0) | (start_mode << 2)
        return (bytes([kind]) + struct.pack("<Q", length) +
                bytes([len(type_name)]) + type_name +
                struct.pack("<H", len(params)) + params)

    write("fuzz_table_roundtrip", "ufs-linear",
          linear(1, 8184, b"/dev/block/sda", 8))
    write("fuzz_table_roundtrip", "two-targets",
          linear(1, 100, b"/dev/block/sda", 8) +
          chosen(0, 50, b"crypt", b"aes-xts-plain64 0011 0 8:0 0"))
    write("fuzz_table_roundtrip", "long-type",
          chosen(1, 1, b"a-type-name-of-20-b", b"x y z"))
    write("fuzz_table_roundtrip", "not-at-zero",
          linear(2, 10, b"/dev/block/sdb", 0, start=5))
    write("fuzz_table_roundtrip", "refused-then-zero-length",
          chosen(1, 7, b"zero", b"", refuse=True) + chosen(1, 0, b"zero", b""))
    write("fuzz_table_roundtrip", "sectors-overflow",
          linear(1, (1 << 64) - 1, b"a", 0) + linear(0, 1, b"b", 0))


if __name__ == "__main__":
    table_status()
    redact()
    header()
    properties()
    table_roundtrip()
