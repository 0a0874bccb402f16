"""threads=N: decoding ahead in a pool, messages (and rows) still in order."""

import itertools
import threading
import time
import os

import numpy as np
import pandas as pd
import pytest

import tarvane
from tarvane import _parallel
from tarvane._convert import convert

MESSAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "data", "corpus", "messages")
# One message that decodes and two that do not, 15 that decode, one whose section 4 ends early.
FILES = ["pybufrkit__multi_invalid_messages.bufr", "pybufrkit-bench__itrg_208.bufr", "pybufrkit-bench__jason2.bufr"]


def _outcomes(threads):
    out = []
    for name in FILES:
        for message in tarvane.read(os.path.join(MESSAGES, name), errors="skip", threads=threads):
            try:
                data = message.decode()
            except ValueError as exc:
                out.append((message.offset, str(exc)))
            else:
                out.append((message.offset, data.descriptor.tolist(), np.nan_to_num(data.value, nan=-1).tolist()))
    return out


@pytest.mark.parametrize("chunk_octets", [None, 1])
def test_read_ahead_gives_what_decode_gives_in_order_with_its_errors(monkeypatch, chunk_octets):
    alone = _outcomes(None)
    assert any(isinstance(o[1], str) for o in alone)
    if chunk_octets is not None:
        # A chunk per message: the pool's chunks and those the reading thread decodes itself alternate.
        monkeypatch.setattr(_parallel, "CHUNK_OCTETS", chunk_octets)
    assert _outcomes(3) == alone


@pytest.mark.parametrize("chunk_octets", [None, 1])
def test_messages_of_a_reader_closed_early_still_decode(monkeypatch, chunk_octets):
    if chunk_octets is not None:
        # A chunk per message: decodes of messages already given are still queued at the close.
        monkeypatch.setattr(_parallel, "CHUNK_OCTETS", chunk_octets)
    whole = open(os.path.join(MESSAGES, FILES[1]), "rb").read()
    reader = tarvane.read(whole, threads=2)
    kept = list(itertools.islice(reader, 3))
    reader.close()  # cancels the decodes not yet started
    for ahead, message in zip(kept, tarvane.read(whole)):
        np.testing.assert_array_equal(ahead.decode().value, message.decode().value)


@pytest.mark.parametrize("threads,error", [(0, ValueError), (-2, ValueError), (2.0, TypeError), (True, TypeError)])
def test_threads_must_be_a_positive_int(threads, error):
    with pytest.raises(error, match="threads must be"):
        tarvane.read(b"", threads=threads)


@pytest.mark.parametrize("source,flat", [(MESSAGES, False), ([os.path.join(MESSAGES, FILES[0])], True)])
def test_frames_decoded_by_a_pool_equal_one_thread(source, flat):
    # Every visible message, bad ones included: rows in order, the same skips.
    columns = None if flat else ["latitude", "longitude", "airTemperature", "data_datetime", "source", "offset"]
    options = dict(columns=columns, flat=flat, errors="skip", required_columns=False)
    alone = tarvane.read_dataframe(source, threads=1, **options)
    pooled = tarvane.read_dataframe(source, threads=2, **options)
    assert len(alone) > 0
    pd.testing.assert_frame_equal(pooled, alone)


def test_convert_by_a_pool_writes_what_one_thread_writes(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    paths = [os.path.join(MESSAGES, name) for name in FILES]
    written = {}
    for threads in (1, 3):
        out = str(tmp_path / f"t{threads}.parquet")
        convert(paths, out, errors="skip", threads=threads)
        written[threads] = pq.read_table(out)
    assert written[1].num_rows > 0 and written[3].equals(written[1])


@pytest.mark.parametrize("call", [lambda t: tarvane.read_dataframe(MESSAGES, threads=t),
                                  lambda t: convert([], "x.csv", threads=t)])
def test_frame_threads_must_be_a_positive_int(call):
    with pytest.raises(ValueError, match="threads must be"):
        call(0)


def test_decode_many_gives_each_message_what_decode_gives():
    from tarvane import _columns

    messages = [m for name in FILES for m in tarvane.read(os.path.join(MESSAGES, name), errors="skip")]
    tables = [m._chooser.choose(m)[0] for m in messages]
    many = _columns.decode_many([m.bytes for m in messages], tables, False)
    assert any(isinstance(r, ValueError) for r in many) and not all(isinstance(r, ValueError) for r in many)
    for message, table_set, got in zip(messages, tables, many):
        try:
            one = _columns.decode(message.bytes, table_set, False)
        except ValueError as exc:
            assert str(got) == str(exc)
        else:
            np.testing.assert_array_equal(np.frombuffer(got[3]), np.frombuffer(one[3]))
            assert got[0] == one[0] and got[6] == one[6]
    with pytest.raises(TypeError):
        _columns.decode_many([messages[0].bytes], [], False)



def test_messages_kept_past_the_end_of_a_read_ahead_still_decode(monkeypatch):
    # A chunk per message: when the reader is done, decodes are still queued.
    monkeypatch.setattr(_parallel, "CHUNK_OCTETS", 1)
    path = os.path.join(MESSAGES, FILES[1])
    kept = list(tarvane.read(path, threads=2))
    for ahead, message in zip(kept, tarvane.read(path), strict=True):
        np.testing.assert_array_equal(ahead.decode().value, message.decode().value)


def test_messages_whose_decode_a_close_dropped_decode_themselves(monkeypatch):
    # The pool's first decode is slow, so the chunks given after it are still
    # queued when the reader is closed: the close drops them.
    monkeypatch.setattr(_parallel, "CHUNK_OCTETS", 1)
    first = threading.Event()
    decode_chunk = _parallel._decode_chunk

    def slow_first(buffers, tables):
        if not first.is_set():
            first.set()
            time.sleep(0.5)
        return decode_chunk(buffers, tables)

    monkeypatch.setattr(_parallel, "_decode_chunk", slow_first)
    whole = open(os.path.join(MESSAGES, FILES[1]), "rb").read()
    reader = tarvane.read(whole, threads=2)
    kept = list(itertools.islice(reader, 5))  # chunks 0 to 4; the reading thread's are 1 and 3
    reader.close()
    assert any(m._ahead is not None and m._ahead._task.cancelled() for m in kept)
    for ahead, message in zip(kept, tarvane.read(whole)):
        np.testing.assert_array_equal(ahead.decode().value, message.decode().value)
