"""Which tables the reading layer takes: the message's own version, a newer one only where it reads the same,
a loud error otherwise; the choice travels with pickles; loaded sets are bounded by memory."""

import json
import os
import pickle
import shutil
import subprocess

import numpy as np
import pytest

import tarvane
from tarvane import _bundle, _table_cache, _tables

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "data", "corpus")
EDITION3 = os.path.join(CORPUS, "edition3", "messages")
BSSH = os.path.join(EDITION3, "pybufrkit__tests_benchmark_data_bssh_178.bufr")
SYNOP3 = os.path.join(EDITION3, "earthkit-data__docs_examples_synop_10.bufr")
DEFINITIONS = "/usr/share/eccodes/definitions"
needs_eccodes = pytest.mark.skipif(not os.path.isdir(DEFINITIONS), reason="ecCodes definitions are not installed")


def _first(path, **kw):
    return next(tarvane.read(path, **kw))


def _with_version(message, version, **kw):
    octets = bytearray(message.bytes)
    octets[8 + (10 if message.edition == 3 else 13)] = version  # section 1's master version octet
    changed = tarvane.Message(bytes(octets), **kw)
    assert changed.master_tables_version_number == version
    return changed


@pytest.mark.skipif(shutil.which("bufr_dump") is None, reason="ecCodes' bufr_dump is not installed")
def test_a_message_is_decoded_with_its_own_master_version():
    # 3 07 091 changed after version 13: other tables would read 596.47 m where it says 10 m.
    data = _first(BSSH).decode()
    assert data.tables_used.startswith("bundled tables: WMO master table 0 version 13 ")
    dump = json.loads(subprocess.run(["bufr_dump", "-j", "f", BSSH], capture_output=True, check=True).stdout)
    key = "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"
    theirs = []

    def walk(node):
        if isinstance(node, dict):
            if node.get("key") == key:
                theirs.append(node["value"])
            for value in node.values():
                walk(value)
        elif isinstance(node, list):
            for value in node:
                walk(value)

    walk(dump)
    ours = [None if np.isnan(v) else v for k, v in zip(data.key.tolist(), data.value.tolist()) if k == key]
    assert ours == theirs and 10 in ours and not any(v and v > 100 for v in ours)


def test_a_missing_version_takes_the_next_only_where_the_message_reads_the_same():
    message = _first(SYNOP3)
    own = message.decode()
    # Versions 3 to 5 are not published in any source: version 6 reads this
    # message as version 2 does, so it reads it as 3 would.
    data = _with_version(message, 4).decode()
    assert data.tables_used == ("bundled tables: WMO master table 0 version 6 for version 4 (every descriptor "
                                "of the message is the same in versions 2 and 6) and local tables version 1 of "
                                "centre 98 sub-centre 0")
    assert np.array_equal(data.value, own.value, equal_nan=True) and list(data.key) == list(own.key)
    with pytest.raises(ValueError, match=r"message at offset 0: needs master table 0 version 46; the bundled "
                                         r"tables have versions 2 to 45 of table 0, none newer; pass tables="):
        _with_version(message, 46).decode()


@needs_eccodes
def test_a_version_whose_neighbours_differ_is_an_error_naming_it(tmp_path):
    wmo = tmp_path / "bufr" / "tables" / "0" / "wmo"
    wmo.mkdir(parents=True)
    for version in (12, 14):
        (wmo / str(version)).symlink_to(os.path.join(DEFINITIONS, "bufr", "tables", "0", "wmo", str(version)))
    message = _first(BSSH, tables=str(tmp_path))
    with pytest.raises(ValueError, match="needs master table 0 version 13; .* the message's descriptors differ "
                                         "between versions 12 and 14; pass tables="):
        message.decode()


def test_the_table_choice_travels_with_pickles(monkeypatch):
    message = _first(BSSH)
    data = message.decode()
    again = pickle.loads(pickle.dumps(message))
    assert again.decode().tables_used == data.tables_used
    (view,) = data.subsets()
    assert pickle.loads(pickle.dumps(view)).tables_used == data.tables_used
    given = _first(BSSH, tables=data.tables)
    assert pickle.loads(pickle.dumps(given)).decode().tables_used == "the TableSet given"
    # Another bundle where it arrives is refused, not decoded with other tables.
    payload = pickle.dumps(message)
    monkeypatch.setattr(_bundle, "digest", lambda: "0" * 16)
    with pytest.raises(ValueError, match="install the same tarvane here"):
        pickle.loads(payload)


def test_the_environment_names_a_root_and_a_chooser_keeps_it(monkeypatch, tmp_path):
    monkeypatch.setenv("ECCODES_DEFINITION_PATH", str(tmp_path))
    with pytest.raises(ValueError, match="ECCODES_DEFINITION_PATH=.* names no ecCodes definitions root"):
        tarvane.read(BSSH)
    (tmp_path / "bufr" / "tables").mkdir(parents=True)
    message = _first(BSSH)
    monkeypatch.delenv("ECCODES_DEFINITION_PATH")
    with pytest.raises(ValueError, match=f"ecCodes definitions {tmp_path} have no version of table 0, none newer"):
        pickle.loads(pickle.dumps(message)).decode()


def test_cache_is_bounded_by_memory_not_count():
    cache = _table_cache.TableCache(limit=512 << 20)
    one_mib = 1 << 20
    tables = tarvane.TableSet()

    def rotate(times):
        for _ in range(times):
            for key in range(100):
                cache.get(key, lambda: (tables, one_mib // _table_cache.MEMORY_PER_BYTE))

    rotate(3)
    assert (cache.loads, len(cache)) == (100, 100)
    small = _table_cache.TableCache(limit=50 << 20)
    cache = small
    rotate(2)
    assert cache.loads == 200 and len(cache) <= 50 and cache.total <= 50 << 20
    # A set larger than the limit is still held while it is the last one used.
    assert cache.get("huge", lambda: (tables, 100 << 20)) is tables and list(cache._sets) == ["huge"]


@pytest.mark.parametrize("value,error", [("12x", "not a whole number"), ("-1", "negative")])
def test_cache_limit_from_the_environment(monkeypatch, value, error):
    monkeypatch.setenv(_table_cache.LIMIT_VARIABLE, "64")
    assert _table_cache.TableCache().limit == 64 << 20
    monkeypatch.setenv(_table_cache.LIMIT_VARIABLE, value)
    with pytest.raises(ValueError, match=error):
        _table_cache.TableCache()


def test_a_missing_local_table_is_named_when_its_descriptor_is_needed():
    message = _first(BSSH)
    octets = bytearray(message.bytes)
    octets[8 + 11] = 77  # a local version ecCodes has for no centre
    changed = tarvane.Message(bytes(octets))
    assert changed.local_tables_version_number == 77
    chooser = _tables.TableChooser()
    assert chooser.missing_local(changed) == ("the message names local tables version 77 of centre 98 sub-centre "
                                              "0, which the bundled tables lack")
    assert chooser.missing_local(message) is None
