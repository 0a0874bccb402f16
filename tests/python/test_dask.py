"""The corpus decoded on a real two-process Dask cluster."""

import os
import pickle

import pytest

pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")

import tarvane  # noqa: E402
import tarvane.dask  # noqa: E402
from test_corpus_agreement import MESSAGES  # noqa: E402

COLUMNS = ["source", "datetime", "data_category", "stationNumber", "stationOrSiteName", "latitude", "pressure",
           "airTemperature", "presentWeather"]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def loads_per_worker(client):
    return client.run(lambda: tarvane._tables.CACHE.loads)


@pytest.mark.parametrize("files_per_partition", [1, 7, None])
def test_cluster_result_equals_one_process(client, files_per_partition):
    frame = tarvane.dask.read_dataframe(
        MESSAGES, columns=COLUMNS, filters={"data_category": {0, 2}}, errors="skip",
        required_columns=False, files_per_partition=files_per_partition,
    )
    got = frame.compute().reset_index(drop=True)
    want = tarvane.read_dataframe(MESSAGES, columns=COLUMNS, filters={"data_category": {0, 2}}, errors="skip",
                                  required_columns=False)
    pd.testing.assert_frame_equal(got, want)
    assert len(got) > 100 and set(got["data_category"]) == {0, 2}


def test_tables_load_once_per_worker(client):
    frame = tarvane.dask.read_dataframe(MESSAGES, columns=["airTemperature"], errors="skip", files_per_partition=1)
    frame.compute()
    frame.compute()
    # However the tasks fall, a worker loads each distinct set of section 1
    # table fields at most once.
    distinct = {tarvane._tables.table_key(m) for f in os.listdir(MESSAGES)
                for m in tarvane.read(os.path.join(MESSAGES, f), errors="skip")}
    loads = loads_per_worker(client)
    assert all(0 < n <= len(distinct) for n in loads.values()) and frame.npartitions > 2 * len(distinct)


def test_messages_data_and_tables_travel_to_workers(client):
    message = next(tarvane.read(os.path.join(MESSAGES, "synop2bufr__15015.bin")))
    data = client.submit(lambda m: m.decode(), message).result()
    tables = client.submit(lambda d: d.tables, data).result()
    assert list(data["airTemperature"]) == list(message.decode()["airTemperature"])
    assert pickle.loads(pickle.dumps(tables)).element_count == tables.element_count
    # The reader's table choice travels: a worker decodes with the client's tables.
    assert client.submit(lambda d: d.tables_used, data).result() == "bundled tables: WMO master table 0 version 14"
    root = "/usr/share/eccodes/definitions"
    if os.path.isdir(root):
        chosen = next(tarvane.read(os.path.join(MESSAGES, "synop2bufr__15015.bin"), tables=root))
        used = client.submit(lambda m: m.decode().tables_used, chosen).result()
        assert used == chosen.decode().tables_used == f"ecCodes definitions {root}: bufr/tables/0/wmo/14"


ED3 = os.path.join(os.path.dirname(MESSAGES), "edition3", "messages")
# The first file has no station number, the second has: the column is Int64
# all the same, in the meta and in every partition.
MIXED = [os.path.join(ED3, "pybufrkit__tests_benchmark_data_amda_144.bufr"),
         os.path.join(ED3, "earthkit-data__docs_examples_synop_10.bufr")]


@pytest.mark.parametrize("columns", [
    ["aircraftFlightNumber", "stationNumber", "WMO_station_id", "latitude", "data_datetime", "dataCategory"],
    None,
])
def test_meta_and_partitions_follow_every_file(columns):
    lazy = tarvane.dask.read_dataframe(MIXED, columns, required_columns=False, files_per_partition=1)
    got = lazy.compute(scheduler="synchronous").reset_index(drop=True)
    want = tarvane.read_dataframe(MIXED, columns, required_columns=False)
    assert dict(lazy.dtypes) == dict(want.dtypes)
    pd.testing.assert_frame_equal(got, want)


def test_a_column_no_file_has_is_a_key_error():
    with pytest.raises(KeyError, match="'airTemperatur'.*closest known keys: airTemperature"):
        tarvane.dask.read_dataframe(MIXED, ["stationNumber", "airTemperatur"])
