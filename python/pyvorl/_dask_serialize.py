"""A `pyvorl.Table` between distributed workers travels as its frame: checksummed, exact, and
decoded by the receiver without unpickling anything (registered by importing pyvorl.dask)."""

from __future__ import annotations

from typing import Any

from distributed.protocol.serialize import dask_deserialize, dask_serialize

from pyvorl._api import dumps, loads
from pyvorl._table import Table


def serialize_table(table: Table) -> tuple[dict[str, Any], list[bytes]]:
    return {}, [dumps(table)]


def deserialize_table(header: dict[str, Any], frames: list[Any]) -> Table:
    # distributed joins the pieces of a frame it split in transit before it calls this.
    (frame,) = frames
    return loads(frame)


# Registered without decorators: distributed's Dispatch is untyped, and would untype the functions.
dask_serialize.register(Table)(serialize_table)  # type: ignore[no-untyped-call, unused-ignore]
dask_deserialize.register(Table)(deserialize_table)  # type: ignore[no-untyped-call, unused-ignore]
