"""Read the bundled sample files and show what they hold.

One line per message (file, offset, edition, date, subsets, compressed flag),
then the first values of its first subset: key, value with its unit, and the
code-table meaning. tarvane.read finds every message of a file; each is
decoded with the ecCodes definitions when they are installed (Debian's
libeccodes-data), else with the bundled WMO tables.
"""

import math
import pathlib
import sys

import tarvane

DATA = pathlib.Path(__file__).resolve().parent / "data"
SHOWN = 25  # values printed per message


def shown(value: float, text: str | None, meaning: str | None) -> str:
    if text is not None:
        return repr(text)
    if math.isnan(value):
        return "missing"
    number = f"{value:g}"
    return f"{number}  {meaning}" if meaning else number


def main() -> int:
    failed = 0
    for path in sorted(DATA.iterdir()):
        for message in tarvane.read(path, errors="warn"):
            print(
                f"{path.name} offset={message.offset} edition={message.edition} "
                f"date={message.datetime} subsets={message.number_of_subsets} "
                f"compressed={message.compressed_data} descriptors={message.unexpanded_descriptors}"
            )
            try:
                data = message.decode()
            except ValueError as error:
                print(f"    cannot decode: {error}\n")
                failed += 1
                continue
            first = next(data.subsets(), None)
            if first is not None:
                rows = zip(first.descriptor, first.key, first.name, first.value, first.unit, first.text, first.meaning)
                for i, (code, key, name, value, unit, text, meaning) in enumerate(rows):
                    if i == SHOWN:
                        print(f"    ... {len(first) - SHOWN} more values in this subset")
                        break
                    label = key or name or ""
                    print(f"    {code:06d}  {label[:40]:<40}  {shown(value, text, meaning):<24}  {unit or ''}")
            print(f"    {len(data)} values in all\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
