"""tarvane.read(threads=N): decoding ahead in a pool, messages still in order."""

import itertools
import os

import numpy as np
import pytest

import tarvane

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


def test_read_ahead_gives_what_decode_gives_in_order_with_its_errors():
    alone = _outcomes(None)
    assert any(isinstance(o[1], str) for o in alone)
    assert _outcomes(3) == alone


def test_messages_of_a_reader_closed_early_still_decode():
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
