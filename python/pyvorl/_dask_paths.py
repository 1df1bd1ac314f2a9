"""Where `pyvorl.dask` finds the files it reads and names the ones it writes: local paths
through os and glob, URLs through fsspec (told apart as open_frames tells them, file:// without
options being a local path)."""

from __future__ import annotations

import glob
import os
import uuid
from collections.abc import Mapping, Sequence
from typing import Any

from dask.utils import natural_sort_key

from pyvorl._remote import filesystem, local_path, open_stream

PATTERN_CHARACTERS = frozenset("*?[")


def expand_paths(
    urlpath: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], storage_options: Mapping[str, Any] | None
) -> list[str]:
    """The files `urlpath` names, each directory or pattern in natural sort order, a list in its own order."""
    given = [urlpath] if isinstance(urlpath, (str, os.PathLike)) else list(urlpath)
    if not given:
        raise ValueError("urlpath: no paths given")
    found = []
    for entry in given:
        path = os.fspath(entry)
        if not isinstance(path, str):
            raise TypeError(f"urlpath must be a str or os.PathLike of str, not {type(path).__name__}")
        local = local_path(path, storage_options)
        matches = url_matches(path, storage_options) if local is None else local_matches(os.fspath(local))
        if not matches:
            raise FileNotFoundError(f"no files at {path!r}")
        found += matches
    return found


def described(urlpath: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> str:
    if isinstance(urlpath, (str, os.PathLike)):
        return repr(os.fspath(urlpath))
    return repr([os.fspath(entry) for entry in urlpath])


def listed(name: str) -> bool:
    """Whether a file in a directory is data: not hidden, and not a marker such as _SUCCESS."""
    return not os.path.basename(name).startswith((".", "_"))


def local_matches(path: str) -> list[str]:
    if os.path.isdir(path):
        names = [os.path.join(path, name) for name in os.listdir(path) if listed(name)]
    elif PATTERN_CHARACTERS & set(path):
        names = glob.glob(path)
    else:
        return [path]  # opening it says whether it is there
    return sorted((name for name in names if os.path.isfile(name)), key=natural_sort_key)


def url_matches(url: str, storage_options: Mapping[str, Any] | None) -> list[str]:
    files, path = filesystem(url, storage_options)
    if files.isdir(path):
        names = [entry["name"] for entry in files.ls(path, detail=True) if entry["type"] == "file"]
        names = [name for name in names if listed(name)]
    elif PATTERN_CHARACTERS & set(path):
        names = [name for name in files.glob(path) if files.isfile(name)]
    else:
        return [url]
    return [str(files.unstrip_protocol(name)) for name in sorted(names, key=natural_sort_key)]


def output_paths(urlpath: str | os.PathLike[str], count: int, storage_options: Mapping[str, Any] | None) -> list[str]:
    """`count` file names: part.N.vorl in the directory `urlpath`, or `urlpath` with its "*" as N.
    The directory is made if it is missing."""
    path = os.fspath(urlpath)
    if not isinstance(path, str):
        raise TypeError(f"urlpath must be a str or os.PathLike of str, not {type(path).__name__}")
    if path.count("*") > 1:
        raise ValueError(f"urlpath {path!r} holds more than one '*'")
    local = local_path(path, storage_options)
    url = local is None
    if local is not None:
        path = os.fspath(local)  # a file:// URL as the path it names
    if "*" in path:
        directory = path.rpartition("/")[0] if url else os.path.dirname(path)
        names = [path.replace("*", str(number)) for number in range(count)]
    else:
        directory = path
        names = [
            f"{path.rstrip('/')}/part.{number}.vorl" if url else os.path.join(path, f"part.{number}.vorl")
            for number in range(count)
        ]
    if url:
        files, inner = filesystem(directory, storage_options)
        files.makedirs(inner, exist_ok=True)
    elif directory:
        os.makedirs(directory, exist_ok=True)
    return names


def write_atomically(path: str, data: bytes, storage_options: Mapping[str, Any] | None) -> None:
    """`data` as the file at `path`, which readers see whole or not at all."""
    if local_path(path, storage_options) is None:
        # Object stores make an object visible when its upload completes.
        with open_stream(path, "w", storage_options) as file:
            file.write(data)
        return
    directory, name = os.path.split(path)
    # Hidden, so that a directory read meanwhile skips it; "x" so that two writers never share it.
    temporary = os.path.join(directory, f".{name}.{uuid.uuid4().hex}.tmp")
    try:
        with open(temporary, "xb") as file:
            file.write(data)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
