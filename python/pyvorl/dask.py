"""Dask DataFrames over files of frames, one partition per frame (`pip install pyvorl[dask]`).

`read_frames` indexes the files on the client and reads each frame on a
worker with one positioned (or ranged) read; a column selection on the
result reaches `pyvorl.loads(frame, columns=...)`, so the other columns are
stepped over, never decoded. `to_frames` writes each partition as one frame.

A `pyvorl.Table` travels between distributed workers as its frame, not as a
pickle (pyvorl._dask_serialize): `import pyvorl` registers that in any process
where distributed is already imported, as it is on a worker before a Table's
type is unpickled there, and importing this module registers it in any other.
"""

from __future__ import annotations

import importlib.util
import json
import os
from collections.abc import Mapping, Sequence
from typing import Any

import dask.dataframe as dd
from dask.base import compute
from dask.delayed import delayed

import pyvorl
from pyvorl._api import selected_names
from pyvorl._dask_paths import described, expand_paths, output_paths, write_atomically
from pyvorl._dataframes import INDEX
from pyvorl._file_reading import open_reader, read_frame
from pyvorl._remote import filesystem, local_path

if importlib.util.find_spec("distributed") is not None:  # without it, nothing travels between workers
    from pyvorl import _dask_serialize as _dask_serialize

__all__ = ["read_frames", "to_frames"]

# (file, offset, length) of one frame: what a partition reads.
Piece = tuple[str, int, int]


def read_frames(
    urlpath: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    columns: Sequence[str] | None = None,
    storage_options: Mapping[str, Any] | None = None,
) -> dd.DataFrame:
    """A Dask DataFrame with one partition per frame of the files at `urlpath`.

    `urlpath` is a file, a directory (its files, apart from those whose names
    start with "." or "_"), a glob pattern or a list of them; files are taken
    in natural sort order ("part.2" before "part.10") and frames in file order.
    A URL is read with fsspec and `storage_options`, as open_frames reads it. The columns and their
    dtypes are those of the first frame as `Table.to_pandas` gives them; with
    `columns`, only those are read. A partition whose columns differ from the
    first frame's raises ValueError when it is computed.
    """
    paths = expand_paths(urlpath, storage_options)
    pieces: list[Piece] = []
    for path in paths:
        with pyvorl.open_frames(path, storage_options=storage_options) as frames:
            offsets = frames.offsets
        pieces += [(path, start, end - start) for start, end in zip(offsets, offsets[1:])]
    if not pieces:
        raise ValueError(f"no frames in the {len(paths)} file(s) at {described(urlpath)}")
    first = read_piece(pieces[0], storage_options)
    # A frame's pandas index lives in columns of its own; a projection has to keep them.
    index = first.schema.table.get(INDEX)
    index_columns = json.loads(index) if isinstance(index, str) else []
    meta = first.to_pandas().iloc[:0]
    if columns is not None:
        columns = selected_names(columns)
        if missing := [name for name in columns if name not in meta.columns]:
            raise KeyError(f"the frames at {described(urlpath)} hold no column {missing[0]!r}")
    ddf: dd.DataFrame = dd.from_map(  # type: ignore[no-untyped-call, unused-ignore]
        read_partition,
        pieces,
        meta=meta,
        label="read-frames",
        enforce_metadata=True,
        columns=columns,
        index_columns=index_columns,
        storage_options=None if storage_options is None else dict(storage_options),
    )
    return ddf


def read_partition(
    piece: Piece,
    columns: list[str] | None = None,
    index_columns: list[str] | None = None,
    storage_options: dict[str, Any] | None = None,
) -> Any:
    """One frame as a pandas DataFrame; Dask fills `columns` with the columns a computation needs."""
    if columns is not None:
        columns = columns + [name for name in index_columns or () if name not in columns]
    return read_piece(piece, storage_options, columns).to_pandas()


def read_piece(
    piece: Piece, storage_options: Mapping[str, Any] | None, columns: list[str] | None = None
) -> pyvorl.Table:
    path, offset, length = piece
    local = local_path(path, storage_options)
    if local is None:
        # One ranged read, without the request for the file's size that opening a reader makes.
        files, inner = filesystem(path, storage_options)
        data = files.cat_file(inner, start=offset, end=offset + length)
        if len(data) != length:
            raise OSError(f"{path}: asked for the {length} bytes of the frame at offset {offset}, got {len(data)}")
    else:
        reader = open_reader(local, False)
        try:
            data = read_frame(reader, offset, length)
        finally:
            reader.close()
    return pyvorl.loads(data, columns=columns)


def to_frames(
    ddf: dd.DataFrame,
    urlpath: str | os.PathLike[str],
    *,
    storage_options: Mapping[str, Any] | None = None,
    **dumps_options: Any,
) -> list[str]:
    """Writes each partition of `ddf` as one frame in a file of its own
    (`pyvorl.dumps(partition, **dumps_options)`) and returns the paths.

    `urlpath` is a directory, written as part.0.vorl, part.1.vorl, ..., or a
    name pattern whose one "*" becomes the partition number. A file appears
    whole or not at all: each is written beside its name, then renamed.
    """
    paths = output_paths(urlpath, ddf.npartitions, storage_options)
    options = None if storage_options is None else dict(storage_options)
    partitions = ddf.to_delayed()  # type: ignore[no-untyped-call, unused-ignore]
    writes = [
        delayed(write_partition)(partition, path, options, dumps_options) for partition, path in zip(partitions, paths)
    ]
    written: tuple[str, ...] = compute(*writes)  # type: ignore[no-untyped-call, unused-ignore]
    return list(written)


def write_partition(
    partition: Any, path: str, storage_options: dict[str, Any] | None, dumps_options: dict[str, Any]
) -> str:
    write_atomically(path, pyvorl.dumps(partition, **dumps_options), storage_options)
    return path
