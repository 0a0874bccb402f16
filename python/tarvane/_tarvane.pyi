"""Type stubs of the compiled module `tarvane._tarvane`.

Every parameter may be passed by position or by keyword under the names used
here. Failures: a message, table or decoding failure raises ValueError, a file
that cannot be read OSError, an argument of the wrong type TypeError and an
integer outside its field's range OverflowError.
"""

from collections.abc import Sequence
from typing import final

# From typing_extensions, which every type checker bundles: Self is in typing
# only from Python 3.11.
from typing_extensions import Self, disjoint_base

__all__ = [
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "ElementDefinition",
    "SequenceDefinition",
    "TableSet",
    "parse_bytes",
    "parse_file",
    "parse_all_bytes",
    "parse_all_file",
    "expand_descriptors",
    "decode_values",
    "decode_values_with_tables",
    "decode_values_with_definitions",
]

@final
class BufrMessage:
    """The parsed header of one BUFR edition 4 message (from the parse functions only)."""

    @property
    def total_length(self) -> int: ...
    @property
    def edition(self) -> int: ...
    @property
    def section1_length(self) -> int: ...
    @property
    def master_table_number(self) -> int: ...
    @property
    def originating_centre(self) -> int: ...
    @property
    def originating_subcentre(self) -> int: ...
    @property
    def update_sequence_number(self) -> int: ...
    @property
    def local_section_present(self) -> bool: ...
    @property
    def data_category(self) -> int: ...
    @property
    def international_data_subcategory(self) -> int: ...
    @property
    def local_data_subcategory(self) -> int: ...
    @property
    def master_tables_version_number(self) -> int: ...
    @property
    def local_tables_version_number(self) -> int: ...
    @property
    def typical_year(self) -> int: ...
    @property
    def typical_month(self) -> int: ...
    @property
    def typical_day(self) -> int: ...
    @property
    def typical_hour(self) -> int: ...
    @property
    def typical_minute(self) -> int: ...
    @property
    def typical_second(self) -> int: ...
    @property
    def section2_length(self) -> int: ...
    @property
    def section3_length(self) -> int: ...
    @property
    def number_of_subsets(self) -> int: ...
    @property
    def observed_data(self) -> bool: ...
    @property
    def compressed_data(self) -> bool: ...
    @property
    def unexpanded_descriptors(self) -> list[int]:
        """The section 3 descriptor codes (F*100000 + X*1000 + Y), a new list on every access."""
    @property
    def section4_length(self) -> int: ...
    @property
    def section4_data_offset(self) -> int: ...
    @property
    def section4_data_length(self) -> int: ...

@final
class DecodedValue:
    """One decoded item: an element value, an associated field or an operator record."""

    @property
    def descriptor(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def raw_value(self) -> float | None:
        """The number (for a character element, the text's index); None when missing."""
    @property
    def raw(self) -> int | None:
        """The unsigned integer read from the bits; None for a character element."""
    @property
    def raw_text(self) -> str | None: ...
    @property
    def raw_meaning(self) -> str | None: ...
    @property
    def data(self) -> str | float | None:
        """The first present of raw_text, raw_meaning and raw_value."""

@final
class Descriptor:
    """A descriptor F X Y; each part an int from 0 to 255."""

    def __new__(cls, f: int, x: int, y: int) -> Self: ...
    @staticmethod
    def from_fxy(code: int) -> Descriptor:
        """The descriptor of a code F*100000 + X*1000 + Y."""
    @property
    def f(self) -> int: ...
    @property
    def x(self) -> int: ...
    @property
    def y(self) -> int: ...
    @property
    def fxy(self) -> int: ...

@final
class ElementDefinition:
    """A Table B entry (from TableSet.get_element only)."""

    @property
    def code(self) -> int: ...
    @property
    def abbreviation(self) -> str: ...
    @property
    def element_type(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def unit(self) -> str: ...
    @property
    def scale(self) -> int: ...
    @property
    def reference(self) -> int: ...
    @property
    def width(self) -> int: ...

@final
class SequenceDefinition:
    """A Table D entry (from TableSet.get_sequence only)."""

    @property
    def code(self) -> int: ...
    @property
    def members(self) -> list[int]: ...

@disjoint_base
class TableSet:
    """Table B, Table D and code tables; read-only once loaded."""

    def __new__(cls) -> Self: ...
    def get_element(self, code: int) -> ElementDefinition | None:
        """The Table B entry of code, or None."""
    def get_sequence(self, code: int) -> SequenceDefinition | None:
        """The Table D entry of code, or None."""
    def get_meaning(self, code: int, raw: int) -> str | None:
        """The code-table meaning of raw for element code, or None."""
    def expand(self, descriptors: Sequence[int]) -> list[int]:
        """descriptors with every Table D sequence replaced by its members."""
    @property
    def element_count(self) -> int: ...
    @property
    def sequence_count(self) -> int: ...
    @staticmethod
    def from_eccodes(path: str) -> TableSet:
        """One ecCodes-style table directory (element.table, sequence.def, optional codetables/)."""
    @staticmethod
    def from_bufr4_45(path: str) -> TableSet:
        """A folder of WMO BUFR4 CSV tables (Table B and Table D)."""
    @staticmethod
    def from_definitions(path: str, message: BufrMessage) -> TableSet:
        """The master tables of message from an ecCodes definitions root, its centre's local tables on top."""

def parse_bytes(data: bytes) -> BufrMessage:
    """The header of the one BUFR edition 4 message that is the whole of data."""
def parse_file(path: str) -> BufrMessage:
    """The header of the one BUFR edition 4 message that is the whole file at path.

    OSError when the file cannot be read.
    """
def parse_all_bytes(data: bytes) -> list[BufrMessage]:
    """The headers of every message of data, which holds messages back to back."""
def parse_all_file(path: str) -> list[BufrMessage]:
    """The headers of every message of the file at path (a regular file is mapped, not copied).

    OSError when the file cannot be read.
    """
def expand_descriptors(table_dir: str, descriptors: Sequence[int]) -> list[int]:
    """descriptors with every Table D sequence replaced by its members, with the tables of an ecCodes table directory."""
def decode_values(data: bytes, table_dir: str) -> list[DecodedValue]:
    """Every value of the first message of data, with the tables of an ecCodes table directory loaded for the call."""
def decode_values_with_tables(data: bytes, tables: TableSet) -> list[DecodedValue]:
    """Every value of the first message of data, with tables loaded once: the call for many messages."""
def decode_values_with_definitions(data: bytes, definitions_root: str) -> list[DecodedValue]:
    """Every value of the first message of data, with the master and local tables that an ecCodes
    definitions root holds for it."""
