"""Writing BUFR: decoded data back to a message, or a message from a template and values by key."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Union

from ._write_header import FIELDS, checked_header, header_tuple

if TYPE_CHECKING:
    from ._data import Data
    from ._tables import TablesArg
    from ._tarvane import TableSet

Subsets = Union[Iterable[Mapping[Union[str, int], Any]], Any]

def encode(source: Data | Sequence[int | str], subsets: Subsets = None, *, tables: TablesArg = None,
           compressed: bool | None = None, edition: int | None = None, **header: int) -> bytes:
    """A BUFR message written from decoded data or from a template and values by key.

    ``encode(data)`` writes a ``Data`` (from ``Message.decode()``) back to a
    message: the header, descriptors and section 2 are the source message's,
    and its values are written exactly (a value decoded is written with the
    same bits). A ``Data`` of one subset (``data.subsets()``) writes that
    subset alone.

    ``encode(template, subsets)`` writes a message from ``template``, the
    section 3 descriptor codes, and ``subsets``, one mapping per subset (or a
    pandas DataFrame, one row per subset) from keys to values. A key is an
    element key such as ``"airTemperature"`` (its first value in the
    template), ``"#k#airTemperature"`` (its k-th, counted with sequences and
    fixed replications unrolled and each delayed replication's group once),
    or a descriptor code (``12101`` or ``"012101"``, ``"#k#012101"``). A key
    inside a delayed replication takes a list, one entry per repetition
    (nested replications: nested lists); the list's length is the factor,
    which may also be given by the factor's own key (such as
    ``"#1#delayedDescriptorReplicationFactor"``) and must then agree; a
    replication none of whose keys is given is written 0 times. Keys not
    given, None and NaN are written as missing. Numbers are in the element's
    unit; texts are padded with spaces to the element's width. Quality
    information and statistics take the names the reader gives them,
    ``"airTemperature->percentConfidence"`` (a second block:
    ``"key->percentConfidence->percentConfidence"``); the template's bitmaps
    are then derived from which values were given one.

    ``compressed`` writes the data section compressed (default: the source
    message's form, or uncompressed for a template) and ``edition`` writes
    that edition's sections (default: the source's, or 4). Other keyword
    arguments set section 1 fields, named as ``Message``'s attributes
    (``originating_centre=98``, ``typical_year=2024``, ...). For a template,
    fields not given are master table 0 at the newest bundled version,
    centre and sub-centre 0, data category 255 with international
    sub-category 255, observed data, and the typical date and time of the
    first subset's ``year``, ``month``, ``day``, ``hour``, ``minute`` and
    ``second`` where given, else 2000-01-01 00:00:00. ``tables`` (template
    form) are those ``tarvane.read`` would choose for that header when None.

    Raises TypeError for an unknown header name, ValueError for a header
    field or value that does not fit (naming the key, the subset and the
    range) and KeyError for a key the template does not have.
    """
    from ._data import Data

    if isinstance(source, Data):
        if subsets is not None or tables is not None:
            raise TypeError("encode(data) takes no subsets or tables: the data carry their own")
        return _reencode(source, compressed, edition, header)
    if subsets is None:
        raise TypeError("encode(template, subsets) needs the subsets' values")
    from ._write_keys import encode_keyed

    return encode_keyed(list(source), subsets, tables, bool(compressed), 4 if edition is None else edition, header)


def _reencode(data: Data, compressed: bool | None, edition: int | None, header: Mapping[str, int]) -> bytes:
    from . import _encode

    message = data.message
    flag = message.compressed_data if compressed is None else compressed
    written = message.edition if edition is None else edition
    number = data._subset_number
    subset = None if number is None else number - 1
    if not header:
        if written not in (3, 4):
            raise ValueError(f"edition must be 3 or 4, not {written}")
        # The source's own fields, taken by the core from the message itself.
        return _encode.reencode_as(message.bytes, data.tables, written, int(flag), subset)
    base = {name: getattr(message, name) or 0 for name in FIELDS}
    base["observed_data"] = int(message.observed_data)
    fields = header_tuple(checked_header(header, base), written, flag)
    return _encode.reencode(message.bytes, data.tables, fields, subset)
