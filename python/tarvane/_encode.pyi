"""Type stubs of the compiled module `tarvane._encode`, the package's way into the writer."""

from typing import Any

# collections.abc has Buffer only from Python 3.12.
from typing_extensions import Buffer

from ._tarvane import TableSet

# (edition, the fifteen section 1 fields, observed_data, compressed_data)
Header = tuple[int, ...]

def reencode(buffer: Buffer, tables: TableSet, header: Header, subset: int | None) -> bytes: ...
def reencode_as(buffer: Buffer, tables: TableSet, edition: int, compressed: int, subset: int | None) -> bytes: ...
def encode(template: list[int], tables: TableSet, subsets: list[dict[int, Any]], header: Header) -> bytes: ...
def plan(template: list[int], tables: TableSet) -> list[tuple[int, str | None]]: ...
def layout(template: list[int], tables: TableSet) -> list[tuple[int, str | None, int]]: ...
def encode_records(
    template: list[int], tables: TableSet, subsets: list[tuple[list[int], list[Any]]], header: Header
) -> bytes: ...
