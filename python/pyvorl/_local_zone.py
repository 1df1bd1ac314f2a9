"""pyvorl.set_local_zone: the extension's setter, with one clear error for every offset it refuses."""

from pyvorl import _vorl


def set_local_zone(tz: int) -> None:
    """Set the local UTC offset, in whole hours from -25 to 25, that parse_table_frame adds to date-times."""
    try:
        _vorl.set_local_zone(tz)
    except (OverflowError, ValueError):
        # The extension keeps its historic errors: OverflowError beyond a signed byte, a bare "invalid timezone" within.
        raise ValueError(f"invalid timezone: tz must be whole hours from -25 to 25, got {tz!r}") from None
