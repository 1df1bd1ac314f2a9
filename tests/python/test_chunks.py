"""concat and dumps_chunks: a table cut into frames of a bounded size, and put back together."""

import numpy as np
import pytest

import pyvorl
from pyvorl import Schema, Table

ROWS = 500
ZONE = {"pyvorl.timezone": "Europe/Paris"}


def sample(rows=ROWS, **options):
    every = np.arange(rows)
    columns = {
        "n": np.ma.array(every, mask=every % 7 == 3),
        "price": np.ma.array(np.round(every * 0.25, 2), mask=every % 11 == 0),
        "when": np.arange(rows).astype("M8[s]"),
        "text": ["é" * (i % 37) if i % 13 else None for i in range(rows)],
        "blob": [bytes(i % 5) for i in range(rows)],
    }
    return Table(
        columns,
        obj="book",
        name="trades",
        metadata={"source": "test"},
        field_metadata={"n": {"unit": "lots"}},
        decimals={"price": 2},
        schema=Schema(fields={"when": ZONE}),
        **options,
    )


@pytest.mark.parametrize("max_bytes", [400, 1000, 4096, 1 << 20])
def test_frames_fit_and_give_the_table_back(max_bytes):
    table = sample()
    frames = list(pyvorl.dumps_chunks(table, max_bytes))
    assert all(len(frame) <= max_bytes for frame in frames)
    assert (len(frames) == 1) == (max_bytes == 1 << 20)
    parts = [pyvorl.loads(frame) for frame in frames]
    assert all(
        (part.obj, part.name, part.metadata, part.decimals) == ("book", "trades", {"source": "test"}, {"price": 2})
        for part in parts
    )
    assert all(part.schema.fields["when"] == ZONE for part in parts)
    assert pyvorl.concat(parts).equals(table)
    if len(frames) > 2:  # frames are filled, not merely bounded
        assert sum(map(len, frames[:-1])) > 0.8 * max_bytes * (len(frames) - 1)


def test_each_frame_keeps_only_its_own_nulls():
    frames = list(
        pyvorl.dumps_chunks(
            {"n": np.ma.array(np.random.default_rng(0).integers(0, 2**62, 64), mask=np.arange(64) < 3)}, 300
        )
    )
    tables = [pyvorl.loads(frame) for frame in frames]
    assert len(tables) > 1 and tables[0].mask("n")[:3].all()
    assert all(table.mask("n") is None for table in tables[1:])


def test_rows_are_encoded_a_bounded_number_of_times(monkeypatch):
    from pyvorl import _chunks

    encoded = []
    dumps = _chunks.dumps
    monkeypatch.setattr(_chunks, "dumps", lambda table: encoded.append(table.num_rows) or dumps(table))
    table = {"text": ["x" * (i % 100) for i in range(20_000)]}
    assert len(list(pyvorl.dumps_chunks(table, 10_000))) > 50
    assert sum(encoded) < 3 * 20_000  # the whole table once, then each row about once more


@pytest.mark.parametrize(
    ("table", "max_bytes", "error"),
    [
        ({"s": ["a", "b" * 3000, "c"]}, 1000, "row 1 needs 30.. bytes in a frame, more than max_bytes 1000"),
        ({"s": np.array([], object)}, 10, "the table's frame needs .* bytes, more than max_bytes 10"),
        ({"s": ["a"]}, 0, "max_bytes must be positive, got 0"),
        ({"s": [1, "a"]}, 100, "column 's'"),
    ],
)
def test_what_cannot_be_cut_is_refused_before_any_frame(table, max_bytes, error):
    with pytest.raises(ValueError, match=error):
        pyvorl.dumps_chunks(table, max_bytes) if max_bytes < 100 else list(pyvorl.dumps_chunks(table, max_bytes))


def test_no_rows_is_one_frame_and_options_pass_on():
    (frame,) = pyvorl.dumps_chunks({"x": np.zeros(0)}, 1000, obj="o", decimals={"x": 3}, metadata={"k": 1})
    table = pyvorl.loads(frame)
    assert (table.obj, table.decimals, table.metadata, table.num_rows) == ("o", {"x": 3}, {"k": 1}, 0)
    with pytest.raises(TypeError, match="max_bytes must be an int, not float"):
        pyvorl.dumps_chunks({"x": [1]}, 1e3)


def test_dataframes_are_cut_and_come_back():
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame({"t": pandas.date_range("2024-01-01", periods=300, freq="h", tz="Europe/Paris")})
    frame["c"] = pandas.Categorical(["a", "b", "a"] * 100)
    parts = [pyvorl.loads(chunk) for chunk in pyvorl.dumps_chunks(frame, 800)]
    assert len(parts) > 1
    pandas.testing.assert_frame_equal(pyvorl.concat(parts).to_pandas(), frame)


def test_concat_keeps_order_nulls_and_empty_tables():
    table = sample(40)
    parts = [pyvorl.loads(pyvorl.dumps(part)) for part in (table, sample(0), table)]
    whole = pyvorl.concat(parts)
    assert whole.num_rows == 80 and whole["n"][40:].tolist() == table["n"].tolist()
    assert whole.mask("text").tolist() == 2 * table.mask("text").tolist()
    assert pyvorl.concat([table]) is table


@pytest.mark.parametrize(
    ("other", "error"),
    [
        (Table({"a": np.arange(2, dtype="i4")}), "table 1 column 'a' dtype is 'int32', table 0's is 'int64'"),
        (Table({"b": [1]}), r"table 1 columns is \['b'\], table 0's is \['a'\]"),
        (Table({"a": [1]}, name="t"), "table 1 name is 't', table 0's is ''"),
        (Table({"a": [1]}, decimals={"a": 2}), "table 1 column 'a' decimals is 2, table 0's is None"),
        (Table({"a": [1]}, metadata={"k": 1}), r"table 1 metadata is \{'k': 1\}, table 0's is \{\}"),
        (Table({"a": [1]}, field_metadata={"a": {"k": 1}}), "table 1 column 'a' field metadata is"),
        (Table({"a": [1]}, schema=Schema(fields={"a": ZONE})), "table 1 column 'a' pyvorl keys is"),
    ],
)
def test_concat_names_the_table_and_what_differs(other, error):
    with pytest.raises(ValueError, match=error):
        pyvorl.concat([Table({"a": [1, 2]}), other])


@pytest.mark.parametrize(
    ("tables", "kind", "error"), [([], ValueError, "at least one"), ([{"a": [1]}], TypeError, "table 0 is a dict")]
)
def test_concat_takes_tables(tables, kind, error):
    with pytest.raises(kind, match=error):
        pyvorl.concat(tables)
