"""What a Table shows of itself in a terminal and in a notebook."""

import numpy as np

import pyvorl


def test_repr_keeps_to_the_terminal_width_and_counts_the_columns_it_leaves_out(monkeypatch):
    monkeypatch.setenv("COLUMNS", "40")
    table = pyvorl.Table({f"column_{i}": np.ma.array(np.arange(7), mask=np.arange(7) == 1) for i in range(6)})
    lines = repr(table).splitlines()
    assert lines[0] == "pyvorl.Table obj='' name='': 7 rows x 6 columns"
    assert lines[1:3] == ["'column_0'  'column_1'  'column_2'", "int64       int64       int64"]
    assert lines[3:5] == ["0           0           0", "<null>      <null>      <null>"]
    assert lines[-2:] == ["... 2 more rows", "... 3 more columns"]
    assert max(map(len, lines[1:])) <= 40


def test_html_repr_escapes_names_and_texts_and_marks_nulls():
    html = pyvorl.Table({"<b>": ["<i>&'", None]}, obj="<o>")._repr_html_()
    assert html == (
        "<p>pyvorl.Table obj=&#x27;&lt;o&gt;&#x27; name=&#x27;&#x27;: 2 rows x 1 columns</p><table><thead><tr>"
        "<th>&#x27;&lt;b&gt;&#x27;<br><small>object</small></th></tr></thead><tbody>"
        "<tr><td>&quot;&lt;i&gt;&amp;&#x27;&quot;</td></tr><tr><td>&lt;null&gt;</td></tr></tbody></table>"
    )
