"""Zone names for tz-aware datetime columns: what a frame stores for a zone object, so that
pandas, pyarrow and polars (whole-hour offsets only) can rebuild the zone from the name."""

from __future__ import annotations

import re
import zoneinfo
from datetime import timedelta
from typing import Any

# "+05:30", "-03:00": the fixed-offset names that pandas and pyarrow read
FIXED_OFFSET = re.compile(r"([+-])(\d\d):(\d\d)")


def zone_name(column: str, tz: Any) -> str:
    """An IANA key, "UTC" or a fixed offset such as "+05:30" for `tz`, or ValueError naming the column."""
    key = getattr(tz, "key", None) or getattr(tz, "zone", None)  # zoneinfo, pytz
    if isinstance(key, str):
        return key
    key = zone_file_key(getattr(tz, "_filename", None))  # dateutil reads the same files as zoneinfo
    if key is not None:
        return key
    offset = tz.utcoffset(None)  # zones without transitions know their offset without a date
    if isinstance(offset, timedelta) and not offset % timedelta(minutes=1):
        minutes = offset // timedelta(minutes=1)
        return f"{'-' if minutes < 0 else '+'}{abs(minutes) // 60:02}:{abs(minutes) % 60:02}" if minutes else "UTC"
    raise ValueError(
        f"column {column!r}: the zone {tz!r} has no name that a frame can keep; "
        "convert the column to an IANA zone, UTC or a fixed offset in whole minutes"
    )


def zone_file_key(filename: object) -> str | None:
    """The IANA key of a zone file path such as /usr/share/zoneinfo/Europe/Paris, if zoneinfo knows it."""
    if not isinstance(filename, str) or "zoneinfo/" not in filename:
        return None
    key = filename.rpartition("zoneinfo/")[2]
    try:
        zoneinfo.ZoneInfo(key)
    except (ValueError, OSError, zoneinfo.ZoneInfoNotFoundError):  # not a key, too long, unknown
        return None
    return key


def dateutil_zone(name: str) -> Any:
    """The dateutil zone that `zone_name` gave `name` for."""
    from dateutil import tz  # type: ignore[import-untyped, unused-ignore]  # pandas depends on it

    fixed = FIXED_OFFSET.fullmatch(name)
    if name == "UTC":
        return tz.tzutc()
    if fixed:
        sign, hours, minutes = fixed.groups()
        return tz.tzoffset(None, (-1 if sign == "-" else 1) * (int(hours) * 3600 + int(minutes) * 60))
    return tz.gettz(name) or name
