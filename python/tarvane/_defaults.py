"""The WMO BUFR4 master tables that ship inside the package."""

from __future__ import annotations

import os

from ._tarvane import TableSet

# The WMO's CSV edition of the BUFR edition 4 master tables, version 45.
# os.path, not pathlib: importing pathlib would be most of `import tarvane`.
BUNDLED_TABLES_DIR = os.path.join(os.path.dirname(os.path.realpath(__file__)), "tables", "wmo-bufr4-v45")


def default_tables() -> TableSet:
    """Load the bundled WMO BUFR4 version 45 tables (Table B and Table D).

    The WMO CSV edition has no code or flag tables, so meanings are not
    available from this set. Every call reads the files again: load once and
    pass the set to ``decode_values_with_tables`` for many messages.
    """
    # A missing or emptied directory would load as an empty set without
    # complaint and only fail later, on the first element of a message.
    if not os.path.isdir(BUNDLED_TABLES_DIR):
        raise FileNotFoundError(
            f"the bundled tables are missing: {BUNDLED_TABLES_DIR} is not a directory; "
            "reinstall tarvane"
        )
    tables = TableSet.from_bufr4_45(str(BUNDLED_TABLES_DIR))
    if tables.element_count == 0 or tables.sequence_count == 0:
        raise FileNotFoundError(
            f"the bundled tables are incomplete: {BUNDLED_TABLES_DIR} holds no Table B or "
            "no Table D file; reinstall tarvane"
        )
    return tables
