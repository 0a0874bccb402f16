"""Parse the bundled sample files and decode them.

One line per message (file, offset, edition, length, subsets, compressed flag,
descriptors), then the values of its first subset: descriptor, name, value
(or text). The bundled WMO tables decode WMO-standard messages; a message
that needs a centre's local descriptors is decoded with the ecCodes
definitions root when one is installed.
"""

import os
import pathlib
import sys

import tarvane

DATA = pathlib.Path(__file__).resolve().parent / "data"
SHOWN = 25  # values printed per message
DEFINITIONS = "/usr/share/eccodes/definitions"


def decode(piece, message, bundled):
    """The values and a word on the tables that decoded them."""
    try:
        return tarvane.decode_values_with_tables(piece, bundled), "bundled WMO tables"
    except ValueError as bundled_error:
        if not os.path.isdir(DEFINITIONS):
            raise bundled_error
        tables = tarvane.TableSet.from_definitions(DEFINITIONS, message)
        return tarvane.decode_values_with_tables(piece, tables), f"ecCodes definitions (the bundled tables: {bundled_error})"


def offsets(raw):
    """Byte offsets of the messages, found the way the splitter finds them."""
    pos = 0
    while (pos := raw.find(b"BUFR", pos)) >= 0 and pos + 8 <= len(raw):
        length = int.from_bytes(raw[pos + 4:pos + 7], "big")
        yield pos, raw[pos:pos + length]
        pos += max(length, 1)


def main() -> int:
    tables = tarvane.default_tables()
    print(f"bundled WMO tables: {tables!r}\n")
    for path in sorted(DATA.iterdir()):
        raw = path.read_bytes()
        for offset, piece in offsets(raw):
            message = tarvane.parse_bytes(piece)
            print(
                f"{path.name} offset={offset} edition={message.edition} "
                f"length={message.total_length} subsets={message.number_of_subsets} "
                f"compressed={message.compressed_data} "
                f"descriptors={message.unexpanded_descriptors}"
            )
            try:
                values, used = decode(piece, message, tables)
            except ValueError as error:
                print(f"    cannot decode: {error}\n")
                continue
            print(f"    tables: {used}")
            per_subset = len(values) // message.number_of_subsets if message.compressed_data else len(values)
            first = values[:per_subset] if message.number_of_subsets else []
            for value in first[:SHOWN]:
                shown = value.data
                if isinstance(shown, str):
                    shown = repr(shown)
                print(f"    {value.descriptor:06d}  {value.name[:44]:<44}  {shown}")
            if len(first) > SHOWN:
                print(f"    ... {len(first) - SHOWN} more values in this subset")
            print(f"    {len(values)} values in all\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
