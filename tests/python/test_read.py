"""Data columns hold exactly the records of decode_values_with_tables."""

import math
import os

import numpy as np
import pytest

import tarvane

MESSAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "data", "corpus", "messages")


def _edition4_messages():
    if not os.path.isdir(MESSAGES):
        return []
    out = []
    for name in sorted(os.listdir(MESSAGES)):
        for message in tarvane.read(os.path.join(MESSAGES, name), errors="skip"):
            if message.edition == 4:
                out.append((name, message))
    return out


MESSAGES_4 = _edition4_messages()


def _decoded(message):
    try:
        data = message.decode()
    except ValueError as exc:
        return None, str(exc)
    return data, None


@pytest.mark.parametrize("name,message", MESSAGES_4, ids=[f"{n}@{m.offset}" for n, m in MESSAGES_4])
def test_columns_hold_the_records_of_the_object_path(name, message):
    data, error = _decoded(message)
    if data is None:
        # Both paths refuse the same messages with the same text (the
        # reading layer names section 4 where the module names the parser).
        with pytest.raises(ValueError) as raised:
            tarvane.decode_values_with_tables(message.bytes, message._chooser.tables_for(message))
        assert error.endswith(str(raised.value).replace("csv/table parse error: ", "section 4: ", 1))
        return
    records = tarvane.decode_values_with_tables(message.bytes, data.tables)
    assert len(data) == len(records)
    assert data.descriptor.tolist() == [r.descriptor for r in records]
    assert data.name.tolist() == [r.name for r in records]
    assert data.text.tolist() == [r.raw_text for r in records]
    # Flag tables are read bit by bit here (test_flag_meanings checks them);
    # every other meaning is the object path's own.
    flag = [u is not None and u.upper() == "FLAG TABLE" for u in data.unit.tolist()]
    assert [m for m, f in zip(data.meaning.tolist(), flag) if not f] == [
        r.raw_meaning for r, f in zip(records, flag) if not f
    ]
    # A number where the object path has one; a character element's
    # raw_value is its text's index (raw None when its bytes are all 0xFF),
    # which the columns do not repeat.
    numbers = [r.raw_value if r.raw_text is None and r.raw is not None else None for r in records]
    assert [None if math.isnan(v) else v for v in data.value.tolist()] == numbers
    raw = data.raw
    assert raw.mask.tolist() == [n is None for n in numbers]
    assert [None if m else x for x, m in zip(raw.data.tolist(), raw.mask.tolist())] == [
        r.raw if n is not None else None for r, n in zip(records, numbers)
    ]
    # Subsets numbered from 1, in runs, each as long as the object path's.
    subset = data.subset
    assert subset[0] == 1 and subset[-1] == message.number_of_subsets and np.all(np.diff(subset.astype(np.int64)) >= 0)
    assert [len(view) for view in data.subsets()] == [
        int(n) for n in np.bincount(subset, minlength=message.number_of_subsets + 1)[1:]
    ]


def _slot_values(obj):
    def plain(value):
        # Columns by their contents, the rest as they are.
        if type(value).__name__ == "Column":
            return ("column", memoryview(value).format, bytes(memoryview(value)))
        if isinstance(value, (tuple, list)):
            return type(value)(plain(v) for v in value)
        if isinstance(value, dict):
            return {k: plain(v) for k, v in value.items()}
        return value

    return {name: plain(getattr(obj, name)) for name in type(obj).__slots__}


DECODABLE_4 = [(n, m) for n, m in MESSAGES_4 if _decoded(m)[0] is not None]


@pytest.mark.parametrize("name,message", DECODABLE_4[::7], ids=[f"{n}@{m.offset}" for n, m in DECODABLE_4[::7]])
def test_decode_makes_the_data_its_class_makes(name, message):
    # decode() makes its Data in one native call; the class makes the same.
    from tarvane import _columns

    data = message.decode()
    made = tarvane.Data(message, data.tables, _columns.decode(message.bytes, data.tables, False),
                        tables_used=data.tables_used)
    assert _slot_values(data._parts) == _slot_values(made._parts)
    assert {k: v for k, v in _slot_values(data).items() if k != "_parts"} == {
        k: v for k, v in _slot_values(made).items() if k != "_parts"
    }
    # A class with other slots than those the native maker fills is refused.
    with pytest.raises(TypeError, match="every slot"):
        _columns.data_types(type("Other", (), {"__slots__": ("a",)}), tarvane.Data)


def test_corpus_has_edition4_messages():
    assert len(MESSAGES_4) >= 100
