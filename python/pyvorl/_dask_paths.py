"""Where `pyvorl.dask` finds the files it reads and names the ones it writes:
local paths through os and glob, URLs through fsspec."""

from __future__ import annotations

import glob
import os
import uuid
from collections.abc import Mapping, Sequence
from typing import Any

from dask.utils import natural_sort_key

PATTERN_CHARACTERS = frozenset("*?[")


def is_url(path: str, storage_options: Mapping[str, Any] | None) -> bool:
    return storage_options is not None or "://" in path


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
        matches = url_matches(path, storage_options) if is_url(path, storage_options) else local_matches(path)
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
    from fsspec.core import url_to_fs  # type: ignore[import-untyped, unused-ignore]

    filesystem, path = url_to_fs(url, **(storage_options or {}))
    if filesystem.isdir(path):
        names = [entry["name"] for entry in filesystem.ls(path, detail=True) if entry["type"] == "file"]
        names = [name for name in names if listed(name)]
    elif PATTERN_CHARACTERS & set(path):
        names = [name for name in filesystem.glob(path) if filesystem.isfile(name)]
    else:
        names = [path]
    return [filesystem.unstrip_protocol(name) for name in sorted(names, key=natural_sort_key)]


def output_paths(urlpath: str | os.PathLike[str], count: int, storage_options: Mapping[str, Any] | None) -> list[str]:
    """`count` file names: part.N.vorl in the directory `urlpath`, or `urlpath` with its "*" as N.
    The directory is made if it is missing."""
    path = os.fspath(urlpath)
    if not isinstance(path, str):
        raise TypeError(f"urlpath must be a str or os.PathLike of str, not {type(path).__name__}")
    if path.count("*") > 1:
        raise ValueError(f"urlpath {path!r} holds more than one '*'")
    url = is_url(path, storage_options)
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
        from fsspec.core import url_to_fs  # type: ignore[import-untyped, unused-ignore]

        filesystem, inner = url_to_fs(directory, **(storage_options or {}))
        filesystem.makedirs(inner, exist_ok=True)
    elif directory:
        os.makedirs(directory, exist_ok=True)
    return names


def write_atomically(path: str, data: bytes, storage_options: Mapping[str, Any] | None) -> None:
    """`data` as the file at `path`, which readers see whole or not at all."""
    if is_url(path, storage_options):
        import fsspec  # type: ignore[import-untyped, unused-ignore]

        # Object stores make an object visible when its upload completes.
        with fsspec.open(path, "wb", **(storage_options or {})) as file:
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
