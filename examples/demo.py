"""Parse the bundled sample files and print one line per message."""

import pathlib
import sys

import tarvane

DATA = pathlib.Path(__file__).resolve().parent / "data"


def main() -> int:
    for path in sorted(DATA.iterdir()):
        raw = path.read_bytes()
        messages = tarvane.parse_all_file(str(path))
        offset = 0
        for message in messages:
            offset = raw.index(b"BUFR", offset)
            print(
                f"{path.name} offset={offset} edition={message.edition} "
                f"length={message.total_length} subsets={message.number_of_subsets} "
                f"compressed={message.compressed_data} "
                f"descriptors={message.unexpanded_descriptors}"
            )
            offset += message.total_length
    return 0


if __name__ == "__main__":
    sys.exit(main())
