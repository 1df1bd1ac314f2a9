"""Files named by URL, read through fsspec: its memory filesystem, file:// URLs, and a real HTTP server
on 127.0.0.1 that serves Range requests."""

import subprocess
import sys
import urllib.request
import uuid
from pathlib import Path

import numpy as np
import pytest

import pyvorl

fsspec = pytest.importorskip("fsspec")
TABLES = [
    pyvorl.Table({"n": np.ma.array(np.arange(k), mask=np.arange(k) % 3 == 0), "s": ["é" * k] * k}, name=f"t{k}")
    for k in (1, 5, 40)
]
FRAMES = [pyvorl.dumps(table) for table in TABLES]
DATA = b"".join(FRAMES)
BIG = pyvorl.dumps({"x": np.random.default_rng(0).random(40_000)})  # above a header block
PRIVATE = {"headers": {"X-Pyvorl": "yes"}}


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """The base URL of a range-serving HTTP server of a folder holding "frames", "big" and "damaged"."""
    pytest.importorskip("aiohttp")
    folder = tmp_path_factory.mktemp("served")
    (folder / "frames").write_bytes(DATA)
    (folder / "big").write_bytes(BIG * 3)
    (folder / "damaged").write_bytes(FRAMES[0] + FRAMES[1][:-1] + bytes([FRAMES[1][-1] ^ 1]))
    script = Path(__file__).with_name("range_server.py")
    child = subprocess.Popen([sys.executable, str(script), str(folder), "120"], stdout=subprocess.PIPE, text=True)
    try:
        yield f"http://127.0.0.1:{child.stdout.readline().strip()}"
    finally:
        child.kill()
        child.wait()
        child.stdout.close()


@pytest.fixture
def memory_url():
    url = f"memory://pyvorl-tests/{uuid.uuid4().hex}"
    yield url
    fsspec.filesystem("memory").rm(url, recursive=True)


def file_url(tmp_path):
    (tmp_path / "frames").write_bytes(DATA)
    return (tmp_path / "frames").as_uri()


def memory_file(url):
    with fsspec.open(url, "wb") as file:
        for table in TABLES:
            pyvorl.write_frame(file, table)  # fsspec's file objects are streams as any other
    return url


@pytest.fixture(params=["memory", "file", "http", "http-with-options"])
def url_and_options(request, tmp_path):
    if request.param == "memory":
        return memory_file(request.getfixturevalue("memory_url")), None
    if request.param == "file":
        return file_url(tmp_path), None
    base = request.getfixturevalue("server")
    return (f"{base}/frames", None) if request.param == "http" else (f"{base}/private/frames", PRIVATE)


def test_frames_by_index_iteration_and_stream(url_and_options):
    url, options = url_and_options
    with pyvorl.open_frames(url, storage_options=options) as frames:
        assert (len(frames), frames.offsets[-1]) == (3, len(DATA))
        assert frames[-1].equals(TABLES[-1]) and frames[0].equals(TABLES[0])
        assert all(got.equals(table) for got, table in zip(frames, TABLES, strict=True))
    assert all(got.equals(table) for got, table in zip(pyvorl.read_frames(url, storage_options=options), TABLES))
    with pytest.raises(ValueError, match="closed"):
        frames[0]


def test_a_file_url_is_the_local_file(tmp_path):
    with pyvorl.open_frames(file_url(tmp_path), mmap=True) as frames:
        assert frames[1].equals(TABLES[1])


def test_refresh_sees_what_is_appended(memory_url):
    with fsspec.open(memory_url, "wb") as file:
        file.write(DATA[:-1])
    with pyvorl.open_frames(memory_url, partial_tail="ignore") as frames:
        assert (len(frames), frames.tail_bytes) == (2, len(FRAMES[2]) - 1)
        with fsspec.open(memory_url, "ab") as file:
            file.write(DATA[-1:])
        assert (frames.refresh(), frames[2].equals(TABLES[2])) == (1, True)


def test_indexing_fetches_headers_not_bodies(server):
    def sent():
        return int(urllib.request.urlopen(f"{server}/sent").read())

    before = sent()
    with pyvorl.open_frames(f"{server}/big") as frames:
        assert len(frames) == 3 and sent() - before == 3 * 8
        assert frames[1]["x"].tobytes() == pyvorl.loads(BIG)["x"].tobytes()
        assert sent() - before == 3 * 8 + len(BIG)


@pytest.mark.parametrize(
    ("path", "options", "kind", "text"),
    [
        ("norange/frames", None, OSError, "asked for 8 bytes at offset 0 and got .*: the server does not serve ranged"),
        ("private/frames", None, FileNotFoundError, "private/frames"),  # the 403 without the header
        ("missing", None, FileNotFoundError, "/missing"),
    ],
)
def test_what_the_server_refuses_or_cannot_do(server, path, options, kind, text):
    with pytest.raises(kind, match=text):
        pyvorl.open_frames(f"{server}/{path}", storage_options=options)


def test_a_damaged_remote_frame_names_its_offset(server):
    with pyvorl.open_frames(f"{server}/damaged") as frames:
        assert frames[0].equals(TABLES[0])
        with pytest.raises(pyvorl.FrameError, match=f"frame at offset {len(FRAMES[0])}: "):
            frames[1]


@pytest.mark.parametrize(
    ("call", "kind", "text"),
    [
        (lambda: pyvorl.open_frames("memory://x/y", mmap=True), ValueError, "mmap=True needs a local file"),
        (lambda: pyvorl.open_frames("frames", storage_options={"a": 1}), ValueError, "not the local path 'frames'"),
        (lambda: pyvorl.open_frames("memory://x", storage_options=[1]), TypeError, "must be a mapping, not list"),
        (lambda: pyvorl.read_frames(sys.stdin.buffer, storage_options={}), ValueError, "not a stream"),
        (lambda: pyvorl.open_frames("memory://pyvorl-tests/none"), FileNotFoundError, "none"),
    ],
)
def test_misused_options_are_refused(call, kind, text):
    with pytest.raises(kind, match=text):
        call()
