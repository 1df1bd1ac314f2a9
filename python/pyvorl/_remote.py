"""Files named by URL ("s3://bucket/key", "http://host/file", "memory://name"), read through fsspec
with ranged reads, beside local paths, which keep their own positioned reads or memory map.
fsspec (the optional extra pyvorl[fsspec]) is imported only for a URL."""

from __future__ import annotations

import importlib
import os
import re
from collections.abc import Mapping
from typing import IO, Any
from urllib.parse import urlsplit
from urllib.request import url2pathname

from pyvorl._file_reading import MappedReader, PositionedReader, open_reader

# A protocol before "://", or fsspec's chaining of one filesystem over another ("simplecache::s3://...").
URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*(://|::)")


def local_path(path: str | os.PathLike[str], storage_options: object) -> str | os.PathLike[str] | None:
    """The local path `path` names, or None for a URL that fsspec is to open. A file:// URL without
    options names a local file, and is read as one."""
    if storage_options is not None and not isinstance(storage_options, Mapping):
        raise TypeError(f"storage_options must be a mapping, not {type(storage_options).__name__}")
    text = os.fspath(path)
    if not isinstance(text, str) or not URL.match(text):
        if storage_options:
            raise ValueError(f"storage_options are for URLs that fsspec opens, not the local path {text!r}")
        return path
    parts = urlsplit(text)
    if (
        parts.scheme.lower() == "file"
        and "::" not in text
        and parts.netloc in ("", "localhost")
        and not storage_options
    ):
        return url2pathname(parts.path)
    return None


def filesystem(url: str, storage_options: Mapping[str, Any] | None) -> tuple[Any, str]:
    """fsspec's filesystem for `url` and the path on it."""
    try:
        # Imported by name: fsspec ships no type information, and may not be installed where this is checked.
        fsspec = importlib.import_module("fsspec")
    except ImportError:
        raise ImportError(f"reading {url!r} needs fsspec (pip install 'pyvorl[fsspec]')") from None
    fs, path = fsspec.core.url_to_fs(url, **(storage_options or {}))
    return fs, path


class RangedReader:
    """Reads a file of an fsspec filesystem, each piece with one ranged read (an HTTP Range request,
    an object store's ranged GET)."""

    def __init__(self, url: str, storage_options: Mapping[str, Any] | None) -> None:
        self._url = url
        self._fs, self._path = filesystem(url, storage_options)
        self._closed = False
        self.size()  # a missing file is refused at opening

    def size(self) -> int:
        self._check_open()
        size = self._fs.info(self._path).get("size")
        if not isinstance(size, int):
            raise OSError(f"{self._url}: the filesystem gives no size for the file")
        return size

    def read(self, offset: int, length: int) -> bytes:
        self._check_open()
        if length <= 0:
            return b""
        data: bytes = self._fs.cat_file(self._path, start=offset, end=offset + length)
        if len(data) > length:
            # A server that ignores the Range header sends the whole file.
            raise OSError(
                f"{self._url}: asked for {length} bytes at offset {offset} and got {len(data)}: "
                "the server does not serve ranged reads"
            )
        return data

    def close(self) -> None:
        self._closed = True

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on closed file")


def open_file_reader(
    path: str | os.PathLike[str], mapped: bool, storage_options: Mapping[str, Any] | None
) -> PositionedReader | MappedReader | RangedReader:
    local = local_path(path, storage_options)
    if local is not None:
        return open_reader(local, mapped)
    if mapped:
        raise ValueError(f"mmap=True needs a local file, not {os.fspath(path)!r}")
    return RangedReader(os.fspath(path), storage_options)


def open_stream(path: str | os.PathLike[str], mode: str, storage_options: Mapping[str, Any] | None) -> IO[bytes]:
    """A binary file object of `path`: a local file, or fsspec's file for a URL."""
    local = local_path(path, storage_options)
    if local is not None:
        return open(local, mode + "b")
    fs, fs_path = filesystem(os.fspath(path), storage_options)
    file: IO[bytes] = fs.open(fs_path, mode + "b")
    return file
