"""Checksummed binary table frames for NumPy columns."""

from pyvorl._vorl import (
    check_table_frame,
    get_local_offset,
    pack_table_frame,
    parse_table_frame,
    set_local_zone,
)

__version__ = "0.1.0"

__all__ = [
    "set_local_zone",
    "get_local_offset",
    "check_table_frame",
    "parse_table_frame",
    "pack_table_frame",
]
