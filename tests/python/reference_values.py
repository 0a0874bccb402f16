"""Run by Debian's /usr/bin/python3 with its ecCodes binding: the values of BUFR files.

For each path given on the command line, prints one JSON line per message:
{"file": path, "offset": o, "subsets": n, "values": [number or null, ...]}
(the reference's numeric values in its order, null where missing) or
{"file": path, "offset": o, "error": text} where it cannot unpack it.
"""

import json
import sys

import eccodes

MISSING_DOUBLE = -1e100


def _message(handle):
    eccodes.codes_set(handle, "unpack", 1)
    values = eccodes.codes_get_array(handle, "numericValues").tolist()
    return {"subsets": eccodes.codes_get(handle, "numberOfSubsets"),
            "values": [None if v == MISSING_DOUBLE else v for v in values]}


def main(paths):
    for path in paths:
        with open(path, "rb") as f:
            while True:
                handle = eccodes.codes_bufr_new_from_file(f)
                if handle is None:
                    break
                entry = {"file": path, "offset": eccodes.codes_get(handle, "offset")}
                try:
                    entry.update(_message(handle))
                except eccodes.CodesInternalError as e:
                    entry["error"] = str(e)
                finally:
                    eccodes.codes_release(handle)
                print(json.dumps(entry), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
