"""Checksummed binary table frames for NumPy columns."""

import sys as _sys

from pyvorl._aio import aread_frames, awrite_frame
from pyvorl._api import dumps, loads
from pyvorl._chunks import dumps_chunks
from pyvorl._concat import concat
from pyvorl._decoder import FrameDecoder
from pyvorl._follow import follow
from pyvorl._frame_file import FrameFile, open_frames
from pyvorl._framing import (
    DEFAULT_MAX_FRAME_SIZE,
    Column,
    ColumnData,
    FrameError,
    ParsedColumn,
    ParsedFrame,
)
from pyvorl._local_zone import set_local_zone
from pyvorl._stream import BinaryReader, BinaryWriter, read_frames, write_frame
from pyvorl._table import Schema, Table
from pyvorl._version import __version__ as __version__
from pyvorl._vorl import (
    check_table_frame,
    get_local_offset,
    pack_table_frame,
    parse_table_frame,
)

__all__ = [
    "set_local_zone",
    "get_local_offset",
    "check_table_frame",
    "parse_table_frame",
    "pack_table_frame",
    "write_frame",
    "read_frames",
    "FrameDecoder",
    "open_frames",
    "FrameFile",
    "follow",
    "aread_frames",
    "awrite_frame",
    "FrameError",
    "DEFAULT_MAX_FRAME_SIZE",
    "BinaryReader",
    "BinaryWriter",
    "Column",
    "ColumnData",
    "ParsedColumn",
    "ParsedFrame",
    "dumps",
    "dumps_chunks",
    "concat",
    "loads",
    "Table",
    "Schema",
]

# In a process that runs distributed (a worker unpickling a Table's type imports pyvorl there), Tables
# travel as frames from the start; elsewhere `import pyvorl` imports neither dask nor distributed.
if "distributed" in _sys.modules:
    from pyvorl import _dask_serialize as _dask_serialize
