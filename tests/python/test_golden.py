"""Every output byte, parse result and error text of ~1,900 generated tables
against recorded digests. After a deliberate format change, regenerate with
`.venv/bin/python bench/format_check.py golden` and review the families named."""

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import format_check  # noqa: E402


def test_frames_and_parse_results_match_the_recorded_digests():
    expected = json.loads(format_check.GOLDEN.read_text())
    actual = format_check.family_digests(format_check.run())
    assert [family for family in expected if expected[family] != actual.get(family)] == []
    assert actual.keys() == expected.keys()
