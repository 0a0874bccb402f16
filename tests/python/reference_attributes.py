"""Run by Debian's /usr/bin/python3 with its ecCodes binding: the attribute keys of BUFR files.

For each path given on the command line, prints one JSON line per message:
{"file": path, "offset": o, "subsets": n, "keys": {"#k#A->B": [value per subset or one for all]}}
or {"file": path, "offset": o, "error": text} where the reference cannot unpack it.
Missing values are null.
"""

import sys

import eccodes
from reference_values import print_messages

MISSING_LONG = 2147483647
MISSING_DOUBLE = -1e100


def _values(handle, key):
    values = eccodes.codes_get_array(handle, key)
    out = []
    for v in values.tolist() if hasattr(values, "tolist") else values:
        missing = v == MISSING_DOUBLE if isinstance(v, float) else v == MISSING_LONG
        out.append(None if missing else v)
    return out


def _message(handle):
    eccodes.codes_set(handle, "unpack", 1)
    keys = {}
    iterator = eccodes.codes_bufr_keys_iterator_new(handle)
    try:
        while eccodes.codes_bufr_keys_iterator_next(iterator):
            name = eccodes.codes_bufr_keys_iterator_get_name(iterator)
            if "->" in name and name.startswith("#"):
                keys[name] = _values(handle, name)
    finally:
        eccodes.codes_bufr_keys_iterator_delete(iterator)
    return {"subsets": eccodes.codes_get(handle, "numberOfSubsets"), "keys": keys}


if __name__ == "__main__":
    print_messages(sys.argv[1:], _message)
