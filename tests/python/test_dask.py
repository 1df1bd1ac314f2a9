"""pyvorl.dask on a real two-process cluster: files of frames in, frames out, Tables between workers."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from dask.dataframe.dask_expr.io import FromMapProjectable  # noqa: E402
from distributed.protocol import deserialize, serialize  # noqa: E402

import pyvorl  # noqa: E402
import pyvorl.dask  # noqa: E402

FILES, FRAMES_PER_FILE, ROWS = 3, 2, 12


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    )
    with cluster, distributed.Client(cluster) as connected:
        yield connected


def trades(seed):
    """A frame from a pandas DataFrame (decimal prices, times in Paris across a DST change, texts),
    with nulls in the prices and the symbols."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(
        {
            "sym": rng.choice(["AAPL", "MSFT", "IBM"], ROWS).astype(object),
            "price": np.round(rng.uniform(100, 200, ROWS), 2),
            "qty": rng.integers(1, 500, ROWS),
            "ts": pd.date_range("2024-03-31 01:00", periods=ROWS, freq="7min", tz="Europe/Paris"),
        }
    )
    table = pyvorl.loads(pyvorl.dumps(frame, decimals={"price": 2}))
    gaps = np.arange(ROWS) % 5 == seed % 5
    symbols = table["sym"].copy()
    symbols[np.arange(ROWS) % 4 == 1] = None
    nulls = {"sym": symbols, "price": np.ma.masked_array(table["price"], mask=gaps)}
    return pyvorl.dumps(pyvorl.Table({**table.to_dict(), **nulls}, decimals=table.decimals, schema=table.schema))


@pytest.fixture(scope="module")
def frames_dir(tmp_path_factory):
    """Files part.0 ... part.10 (natural order differs from name order), and the pandas view of their frames."""
    directory = tmp_path_factory.mktemp("frames")
    tables = []
    for number in (0, 2, 10):
        frames = [trades(number * FRAMES_PER_FILE + k) for k in range(FRAMES_PER_FILE)]
        (directory / f"part.{number}.vorl").write_bytes(b"".join(frames))
        tables += [pyvorl.loads(frame) for frame in frames]
    (directory / "_SUCCESS").write_bytes(b"")  # a marker, not data
    assert all(table.mask("price") is not None and table.mask("sym") is not None for table in tables)
    return directory, pd.concat([table.to_pandas() for table in tables])


def as_dask_gives(expected, ddf):
    return expected.astype(ddf.dtypes.to_dict())  # dask's own string dtype for texts


def test_read_frames_one_partition_per_frame(client, frames_dir):
    directory, expected = frames_dir
    ddf = pyvorl.dask.read_frames(directory)
    assert ddf.npartitions == FILES * FRAMES_PER_FILE
    pd.testing.assert_frame_equal(ddf.compute(), as_dask_gives(expected, ddf))
    by_symbol = ddf.groupby("sym").agg({"price": "sum", "qty": "max", "ts": "min"}).compute().sort_index()
    wanted = as_dask_gives(expected, ddf).groupby("sym").agg({"price": "sum", "qty": "max", "ts": "min"})
    pd.testing.assert_frame_equal(by_symbol, wanted)


def projection(ddf):
    (reader,) = ddf.optimize(fuse=False).expr.find_operations(FromMapProjectable)
    return reader.kwargs.get("columns")


@pytest.mark.parametrize("columns", [["qty"], ["ts", "sym"]])
def test_column_selection_reaches_the_reader(client, frames_dir, columns):
    directory, expected = frames_dir
    ddf = pyvorl.dask.read_frames(directory)
    assert projection(ddf) is None
    assert sorted(projection(ddf[columns])) == sorted(columns)  # dask asks in the frame's order
    pd.testing.assert_frame_equal(ddf[columns].compute(), as_dask_gives(expected[columns], ddf[columns]))
    chosen = pyvorl.dask.read_frames(directory, columns=columns)
    assert projection(chosen) == columns and list(chosen.columns) == columns


@pytest.mark.parametrize(
    ("urlpath", "error", "text"),
    [
        ("{dir}/*.parquet", FileNotFoundError, "no files at"),
        ("{dir}/part.7.vorl", FileNotFoundError, "No such file"),
    ],
)
def test_read_frames_refuses(frames_dir, urlpath, error, text):
    with pytest.raises(error, match=text):
        pyvorl.dask.read_frames(urlpath.format(dir=frames_dir[0]))


def test_unknown_column_is_a_key_error(frames_dir):
    with pytest.raises(KeyError, match="hold no column 'volume'"):
        pyvorl.dask.read_frames(frames_dir[0], columns=["qty", "volume"])


# The URL case goes through fsspec (a file:// URL with options is no local path): its listing,
# its writes and its ranged reads, on the workers.
@pytest.mark.parametrize(
    ("pattern", "names", "options"),
    [
        ("out", "out/part.{}.vorl", None),
        ("day/trades-*.vorl", "day/trades-{}.vorl", None),
        ("remote", "remote/part.{}.vorl", {"auto_mkdir": True}),
    ],
)
def test_to_frames_round_trip(client, tmp_path, pattern, names, options):
    frame = pd.DataFrame(
        {"price": np.arange(40) / 4, "qty": np.arange(40), "ts": pd.date_range("2024-01-01", periods=40, tz="UTC")},
        index=pd.Index(np.arange(100, 140), name="seq"),
    )
    ddf = dd.from_pandas(frame, npartitions=4)
    base = str(tmp_path) if options is None else tmp_path.as_uri()
    paths = pyvorl.dask.to_frames(ddf, f"{base}/{pattern}", storage_options=options, decimals={"price": 2})
    assert paths == [f"{base}/{names.format(n)}" for n in range(4)]
    assert [len(pyvorl.open_frames(path)) for path in paths] == [1] * 4
    assert pyvorl.open_frames(paths[0])[0].decimals == {"price": 2}
    back = pyvorl.dask.read_frames(paths if options is None else f"{base}/{pattern}", storage_options=options)
    pd.testing.assert_frame_equal(back.compute(), frame)
    pd.testing.assert_frame_equal(back[["qty"]].compute(), frame[["qty"]])  # the index comes along


@pytest.fixture(scope="module")
def served(frames_dir):
    """The HTTP URLs of the frame files, from a server of ranged reads."""
    pytest.importorskip("aiohttp")
    script = Path(__file__).with_name("range_server.py")
    child = subprocess.Popen([sys.executable, script, frames_dir[0], "120"], stdout=subprocess.PIPE, text=True)
    try:
        base = f"http://127.0.0.1:{child.stdout.readline().strip()}"
        yield [f"{base}/part.{number}.vorl" for number in (0, 2, 10)]
    finally:
        child.kill()
        child.wait()
        child.stdout.close()


def test_read_frames_over_http(client, frames_dir, served):
    ddf = pyvorl.dask.read_frames(served, columns=["sym", "price"])
    assert ddf.npartitions == FILES * FRAMES_PER_FILE
    wanted = frames_dir[1][["sym", "price"]]
    pd.testing.assert_frame_equal(ddf.compute(), as_dask_gives(wanted, ddf))


def test_table_travels_as_a_frame(client):
    price = np.ma.masked_array([101.25, 0.0, 99.5], mask=[False, True, False])
    table = pyvorl.Table({"price": price, "sym": np.array(["a", None, "c"], object)}, decimals={"price": 2})
    header, frames = serialize(table)
    assert header["serializer"] == "dask" and pyvorl.loads(frames[0]).equals(table)
    assert deserialize(header, frames).equals(table)
    future = client.scatter(table)
    assert client.submit(lambda held: held.mask("price").tolist(), future).result() == [False, True, False]
    assert client.gather(future).equals(table)


@pytest.mark.parametrize(
    "code",
    [
        "import sys, pyvorl\nassert 'dask' not in sys.modules and 'distributed' not in sys.modules",
        # as on a worker: distributed first, then pyvorl, and never pyvorl.dask
        "import distributed.protocol as p, pyvorl\nheader, _ = p.serialize(pyvorl.Table({'a': [1]}))\n"
        "assert header['serializer'] == 'dask'",
    ],
)
def test_import_pyvorl(code):
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
