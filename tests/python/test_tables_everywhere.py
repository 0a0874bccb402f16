"""The same results on a machine without ecCodes: both corpora read with the default tables while
/usr/share/eccodes is hidden (an empty folder bound over it in a private mount namespace), against the
same messages read here with the ecCodes definitions root."""

import json
import os
import shutil
import subprocess
import sys

import pytest

from test_corpus_agreement import _differences
from test_read_agreement import CASES, _listed, _messages

HERE = os.path.dirname(os.path.abspath(__file__))
ECCODES = "/usr/share/eccodes"
DEFINITIONS = os.path.join(ECCODES, "definitions")


def summary(tables):
    """Per compared message: whether it agrees with the reference, its records' keys, its meanings."""
    out = {}
    for corpus, file_name, message in CASES:
        if "error" in message:
            continue
        ours = _messages(corpus, file_name)[message["offset"]]
        name = f"{corpus}/{file_name}@{message['offset']}"
        try:
            data = ours.decode(tables)
        except ValueError as exc:
            out[name] = [False, str(exc), 0]
            continue
        expected = [tuple(p) for s in message["subsets"] for p in s if ours.edition == 4 or (p[0] // 1000) % 100 != 33]
        agrees = not _differences(expected, _listed(data, ours.edition))
        meanings = sum(m is not None for m in data.meaning.tolist())
        out[name] = [agrees, [str(k) for k in data.key.tolist()], meanings]
    return out


def _hidden_summary(tmp_path):
    if shutil.which("unshare") is None or not os.path.isdir(ECCODES):
        pytest.skip("needs unshare and an ecCodes folder to hide")
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("private mount namespaces are not permitted here")
    empty = tmp_path / "empty"
    empty.mkdir()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE, *sys.path]))
    env.pop("ECCODES_DEFINITION_PATH", None)
    script = f'mount --bind "{empty}" {ECCODES} && exec "{sys.executable}" "{__file__}"'
    done = subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True, text=True, env=env, timeout=900)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout)


@pytest.mark.skipif(not CASES or not os.path.isdir(DEFINITIONS), reason="needs the corpus and ecCodes")
def test_default_tables_read_both_corpora_as_ecCodes_definitions_do(tmp_path):
    hidden = _hidden_summary(tmp_path)
    assert hidden.pop("ecCodes visible") is False
    present = summary(DEFINITIONS)
    assert hidden.keys() == present.keys()
    for corpus in ("edition3/", "./"):
        agreeing = [sum(s[n][0] for n in s if n.startswith(corpus)) for s in (hidden, present)]
        assert agreeing[0] >= agreeing[1] > 0, corpus
    for name, (_, keys, meanings) in present.items():
        assert hidden[name][1] == keys, name
        assert hidden[name][2] >= meanings, name


if __name__ == "__main__":
    # The child: nothing of ecCodes is visible here.
    result = summary(None)
    result["ecCodes visible"] = os.path.isdir(DEFINITIONS)
    json.dump(result, sys.stdout)
