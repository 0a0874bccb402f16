"""tarvane.read + Message.decode against the reference decoder's values, editions 3 and 4.

Every message with an entry in expected/ is read from its file with
tarvane.read, decoded into columns with the tables of the installed ecCodes
definitions root, and compared with test_corpus_agreement's rules. In
edition 3 class 33 is left out on both sides: the reference drops the
0 33 007 confidences that follow 2 22 000. Messages where we disagree are
listed in KNOWN with the reason; each must still fail exactly as described,
so that the list follows every fix.
"""

import functools
import gzip
import json
import math
import os
import re

import numpy as np
import pytest

import tarvane
from test_corpus_agreement import _differences, _is_listed

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "data", "corpus")
DEFINITIONS = "/usr/share/eccodes/definitions"
EDITION3 = "edition3"
EDITION4 = "."

# (corpus, file, offset) -> (why we disagree, a pattern matching our error or
# our first difference from the reference).
KNOWN = {
    (EDITION4, "bufrValidationDashboard__Servlet-Version_test_data_filter.out", 0): (
        "the station name is a double quote and NULs; the listed value comes from the reference's JSON "
        "dump, which writes a double quote as a single quote",
        r"#0 \(1015\): \"'\" expected",
    ),
}

# Agreeing messages measured: all 146 edition-3 messages the reference
# decodes, 154 of 155 in edition 4.
AGREEING = {EDITION3: 146, EDITION4: 154}


def _cases(corpus):
    expected = os.path.join(CORPUS, corpus, "expected")
    if not os.path.isdir(expected):
        return []
    out = []
    for name in sorted(os.listdir(expected)):
        with gzip.open(os.path.join(expected, name), "rt", encoding="utf-8") as f:
            entry = json.load(f)
        out.extend((corpus, entry["file"], m) for m in entry["messages"])
    return out


CASES = _cases(EDITION3) + _cases(EDITION4)


@functools.lru_cache(maxsize=None)
def _messages(corpus, file_name):
    path = os.path.join(CORPUS, corpus, "messages", file_name)
    return {m.offset: m for m in tarvane.read(path, errors="skip")}


def _listed(data, edition):
    # Data gives NaN for a missing number and for text; text stands in the text column.
    out = []
    quality = False
    for code, value, text in zip(data.descriptor.tolist(), data.value.tolist(), data.text.tolist()):
        quality = quality or code == 222000
        if not _is_listed(code):
            continue
        if (code // 1000) % 100 == 33 and (edition == 3 or (quality and code == 33007)):
            continue
        out.append((code, text if text is not None else None if math.isnan(value) else value))
    return out


def _outcome(corpus, file_name, message, ours=None):
    """'agrees', or the error text, or the list of differences."""
    if ours is None:
        ours = _messages(corpus, file_name)[message["offset"]]
        decode = functools.partial(ours.decode, DEFINITIONS)
    else:
        decode = ours.decode
    try:
        data = decode()
    except ValueError as exc:
        return str(exc)
    expected = [
        tuple(pair)
        for subset in message["subsets"]
        for pair in subset
        if ours.edition == 4 or (pair[0] // 1000) % 100 != 33
    ]
    return _differences(expected, _listed(data, ours.edition)) or "agrees"


pytestmark = pytest.mark.skipif(not os.path.isdir(DEFINITIONS), reason="ecCodes definitions are not installed")


@pytest.mark.parametrize(
    "corpus,file_name,message", CASES, ids=[f"{c.strip('.') or 'edition4'}/{f}@{m['offset']}" for c, f, m in CASES]
)
def test_read_decode_agrees_with_reference(corpus, file_name, message):
    key = (corpus, file_name, message["offset"])
    if "error" in message:
        ours = _messages(corpus, file_name)[message["offset"]]
        if ours.number_of_subsets == 0:
            # An empty message (the reference's dump gives up on it): no records.
            assert len(ours.decode(DEFINITIONS)) == 0
        else:
            with pytest.raises(ValueError, match="not enough bits while reading section 4"):
                ours.decode(DEFINITIONS)
        return
    outcome = _outcome(corpus, file_name, message)
    if key in KNOWN:
        reason, shape = KNOWN[key]
        assert outcome != "agrees", f"now agrees: take it out of KNOWN ({reason})"
        first = outcome if isinstance(outcome, str) else outcome[0]
        assert re.search(shape, first), f"fails differently now: {outcome}"
    else:
        assert outcome == "agrees"


@pytest.mark.skipif(not CASES, reason="corpus reference values are not present")
@pytest.mark.parametrize("corpus", [EDITION3, EDITION4])
def test_agreeing_count_holds(corpus):
    compared = [(c, f, m) for c, f, m in CASES if c == corpus and "error" not in m]
    agreeing = sum(_outcome(c, f, m) == "agrees" for c, f, m in compared)
    assert agreeing >= AGREEING[corpus]
    assert agreeing >= 0.95 * len(compared)
    # Every message is either agreeing or explained.
    known = sum(1 for k in KNOWN if k[0] == corpus)
    assert agreeing + known == len(compared)


@pytest.mark.skipif(not CASES, reason="corpus reference values are not present")
@pytest.mark.parametrize("corpus", [EDITION3, EDITION4])
def test_read_ahead_agrees_with_reference(corpus):
    # What the reader's pool decodes is what decode() hands over: it must
    # agree (or fail) exactly as a decode in the caller's thread does. (The
    # chunks left to the reading thread decode on decode() itself.)
    by_file = {}
    for c, f, m in CASES:
        if c == corpus and "error" not in m:
            by_file.setdefault(f, []).append(m)
    pooled = 0
    for file_name, entries in by_file.items():
        path = os.path.join(CORPUS, corpus, "messages", file_name)
        ahead = {m.offset: m for m in tarvane.read(path, errors="skip", tables=DEFINITIONS, threads=2)}
        for entry in entries:
            message = ahead[entry["offset"]]
            if message._ahead is not None:
                assert message._ahead.done()  # a reader read to its end waits for its decodes
                pooled += 1
            assert _outcome(corpus, file_name, entry, message) == _outcome(corpus, file_name, entry)
            assert message._ahead is None
    assert pooled > len(by_file) / 2


def test_listed_values_leave_out_what_the_reference_leaves_out():
    class Columns:
        descriptor = np.array([1001, 222000, 33007, 31031, 33041, 205060, 12101, 1015])
        value = np.array([1.0, 0.0, 70.0, 0.0, 1.0, math.nan, math.nan, math.nan])
        text = np.array([None, None, None, None, None, "x", None, "AB"], dtype=object)

    assert _listed(Columns, 4) == [(1001, 1.0), (33041, 1.0), (12101, None), (1015, "AB")]
    assert _listed(Columns, 3) == [(1001, 1.0), (12101, None), (1015, "AB")]
