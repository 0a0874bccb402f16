"""Type stubs of the compiled module `tarvane._columns`, the reading layer's way into the core."""

from typing import final

# collections.abc has Buffer only from Python 3.12.
from typing_extensions import Buffer

from ._tarvane import TableSet

@final
class Column:
    """One decoded column, exported read-only through the buffer protocol."""

    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

Header = tuple[
    int, int, int, int, int, bool, int, int | None, int, int, int, int, int, int, int, int, int | None, int, bool, bool,
    list[int], int,
]
Decoded = tuple[int, Column, Column, Column, Column, Column, list[str], Column, Column, list[str]]

def parse(buffer: Buffer) -> Header: ...
def next_piece(buffer: Buffer, start: int) -> tuple[int, int, str | None, bool, int] | None: ...
def decode(buffer: Buffer, tables: TableSet) -> Decoded: ...
def index_descriptors(descriptors: Buffer) -> tuple[list[int], Column]: ...
def load_definitions(
    root: str, master_table_number: int, master_version: int, local_version: int, centre: int, subcentre: int
) -> TableSet: ...
def dump_tables(tables: TableSet) -> bytes: ...
def load_tables(data: Buffer) -> TableSet: ...
