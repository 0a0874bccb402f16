"""Write the fuzz seed folders from real messages and real table files.

Usage: python3 fuzz/make_seeds.py MESSAGES_DIR DEFINITIONS_ROOT
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def messages(folder):
    for path in sorted(pathlib.Path(folder).iterdir()):
        data = path.read_bytes()
        pos = 0
        while True:
            pos = data.find(b"BUFR", pos)
            if pos < 0 or pos + 8 > len(data):
                break
            length = int.from_bytes(data[pos + 4:pos + 7], "big")
            if length == 0:
                break
            yield path.name, pos, data[pos:pos + length]
            pos += max(length, 1)


def sections(msg):
    """(flags byte, subsets, descriptor bytes, payload) of an edition-4 message."""
    if len(msg) < 30 or msg[7] != 4:
        return None
    s1 = int.from_bytes(msg[8:11], "big")
    p = 8 + s1
    if msg[17]:
        p += int.from_bytes(msg[p:p + 3], "big")
    l3 = int.from_bytes(msg[p:p + 3], "big")
    subsets = int.from_bytes(msg[p + 4:p + 6], "big")
    flags = msg[p + 6]
    desc = msg[p + 7:p + l3]
    if len(desc) % 2:
        desc = desc[:-1]
    p4 = p + l3
    l4 = int.from_bytes(msg[p4:p4 + 3], "big")
    return flags, subsets, desc, msg[p4 + 4:p4 + l4]


def main():
    corpus, definitions = sys.argv[1], pathlib.Path(sys.argv[2])
    out = {name: HERE / "seeds" / name for name in ("fuzz_decode", "fuzz_expand", "fuzz_tables")}
    for d in out.values():
        d.mkdir(parents=True, exist_ok=True)
    for name, pos, msg in messages(corpus):
        parts = sections(msg)
        if parts is None:
            continue
        flags, subsets, desc, payload = parts
        if len(payload) > 4096:
            continue
        ndesc = min(len(desc) // 2, 255)
        seed = bytes([1 if flags & 0x40 else 0, min(subsets, 255), ndesc]) + desc[:2 * ndesc] + payload
        (out["fuzz_decode"] / f"{name}-{pos}").write_bytes(seed)
        triples = bytearray()
        for k in range(0, min(len(desc), 2 * 64), 2):
            triples += bytes([desc[k] >> 6, desc[k] & 0x3F, desc[k + 1]])
        (out["fuzz_expand"] / f"{name}-{pos}").write_bytes(bytes(triples))
    wmo = definitions / "bufr/tables/0/wmo/38"
    lines = (wmo / "element.table").read_bytes().splitlines(keepends=True)
    (out["fuzz_tables"] / "element").write_bytes(b"\x00" + b"".join(lines[:40]))
    seq = (wmo / "sequence.def").read_bytes()
    (out["fuzz_tables"] / "sequence").write_bytes(b"\x01" + seq[:3000])
    (out["fuzz_tables"] / "codetable").write_bytes(b"\x02" + (wmo / "codetables/1003.table").read_bytes())
    csv = (HERE.parent / "python/tarvane/tables/wmo-bufr4-v45/BUFRCREX_TableB_en_01.csv").read_bytes()
    (out["fuzz_tables"] / "wmo-csv").write_bytes(b"\x03" + csv[:4000])
    (out["fuzz_tables"] / "alias").write_bytes(b"\x0436\n")
    (out["fuzz_tables"] / "alias-cycle").write_bytes(b"\x0438")
    (out["fuzz_tables"] / "directory").write_bytes(b"\x05" + b"".join(lines[:20]) + seq[:1500])


if __name__ == "__main__":
    main()
