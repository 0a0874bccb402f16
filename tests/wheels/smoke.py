"""An installed tarvane used as a new user would, checked against the reference values.

Run by the interpreter of a venv the wheel was installed into, from any
folder: `python smoke.py MESSAGE_FILE EXPECTED_JSON_GZ [--no-ecCodes]`.
`--no-ecCodes` says the ecCodes definitions are hidden, so the bundled tables
must do all the work. Prints one line per check and exits non-zero on the
first that fails.
"""

import gzip
import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path


def reference(expected: Path) -> list[list[object]]:
    with gzip.open(expected, "rt") as f:
        message = json.load(f)["messages"][0]
    return message["subsets"][0]


def same(code: int, ours: object, theirs: object) -> None:
    if isinstance(theirs, float) and isinstance(ours, float):
        assert math.isclose(ours, theirs, rel_tol=1e-9), (code, ours, theirs)
    else:
        assert ours == theirs, (code, ours, theirs)


def check_values(pairs: list[tuple[int, object]], expected: list[list[object]], what: str) -> None:
    assert [c for c, _ in pairs] == [c for c, _ in expected], what
    for (code, ours), (_, theirs) in zip(pairs, expected):
        same(code, ours, theirs)
    print(f"ok: {what}: {len(pairs)} values as the reference reads them")


def wanted(code: int) -> bool:
    return code < 100000 and (code // 1000) % 100 != 31


def main() -> None:
    path, expected_path = Path(sys.argv[1]), Path(sys.argv[2])
    hidden = "--no-ecCodes" in sys.argv
    expected = reference(expected_path)
    row = dict(expected)  # the codes checked by name below occur once

    import tarvane

    assert Path(tarvane.__file__).parent.parent != Path(__file__).parents[2], "imported the source tree"
    print(f"tarvane {tarvane.__file__} on Python {sys.version.split()[0]}")
    if hidden:
        assert not Path("/usr/share/eccodes/definitions").exists(), "the ecCodes definitions are not hidden"

    # The low-level module with the bundled tables.
    values = tarvane.decode_values_with_tables(path.read_bytes(), tarvane.default_tables())
    check_values(
        [(v.descriptor, v.raw_text.rstrip() if v.raw_text is not None else v.raw_value)
         for v in values if wanted(v.descriptor)],
        expected, "decode_values_with_tables with the bundled tables")

    # The reading layer with the default tables.
    (message,) = list(tarvane.read(path))
    data = message.decode()
    pairs = []
    for code, value, text in zip(data.descriptor.tolist(), data.value.tolist(), data.text):
        if wanted(code):
            pairs.append((code, text.rstrip() if text is not None else (None if math.isnan(value) else value)))
    check_values(pairs, expected, "read(...).decode()")
    keys = [k for k in data.key if k]
    meanings = [m for m in data.meaning if m]
    # The bundled tables carry keys and meanings: the same with or without
    # the ecCodes definitions on the machine.
    assert data.key[data.descriptor == 1001][0] == "blockNumber", data.key[:3]
    assert data["blockNumber"][0] == 15.0
    assert meanings, "no code-table meanings"
    assert data.tables_used.startswith("bundled"), data.tables_used
    print(f"ok: {len(keys)} keys and {len(meanings)} meanings, e.g. {meanings[0]!r}")

    try:
        import pandas  # noqa: F401
    except ImportError:
        print("skipped: frames (no pandas)")
    else:
        frame = tarvane.read_dataframe(str(path), columns=[1001, 1002, 12101])
        assert len(frame) == 1, frame
        for column, code in zip(frame.columns, (1001, 1002, 12101)):
            same(code, float(frame[column].iloc[0]), row[code])
        records = data.to_pandas()
        assert len(records) == len(data)
        print(f"ok: read_dataframe and Data.to_pandas ({len(records)} records)")

    # The command line, as installed into the venv.
    command = shutil.which("tarvane", path=os.path.dirname(sys.executable))
    assert command, "no tarvane command beside the interpreter"
    listing = subprocess.run([command, "ls", str(path)], capture_output=True, text=True)
    assert listing.returncode == 0 and listing.stderr == "", listing.stderr
    assert listing.stdout.splitlines()[1].split()[:3] == [str(path), "0", "4"], listing.stdout
    dump = subprocess.run([sys.executable, "-m", "tarvane", "dump", "--json", "--key", "012101", str(path)],
                          capture_output=True, text=True)
    assert dump.returncode == 0, dump.stderr
    (document,) = [json.loads(line) for line in dump.stdout.splitlines()]
    same(12101, document["groups"][0]["values"][0], row[12101])
    print("ok: tarvane ls and python -m tarvane dump --json")


if __name__ == "__main__":
    main()
