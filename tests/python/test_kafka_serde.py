"""The README's Kafka recipe with the real confluent-kafka but no broker: what a producer would have sent
is taken back out of the delivery reports of its purged queue."""

import random

import numpy as np
import pytest

import pyvorl
from recipes import recipe

kafka = pytest.importorskip("confluent_kafka")
serde = recipe("kafka")

MAX_MESSAGE = 65536  # the producer's message.max.bytes: it refuses a larger message in produce()
OPTIONS = {"obj": "trades", "decimals": {"px": 2}}


def trades(seed, rows=20_000):
    rng = np.random.default_rng(seed)
    return {"px": np.round(100 + rng.random(rows) * 10, 2), "qty": rng.integers(1, 1000, rows, dtype=np.int32)}


def as_sent(columns):
    return pyvorl.loads(pyvorl.dumps(columns, **OPTIONS))


def produced(producer_type, produce, **config):
    """The (key, value) of each message that `produce(producer)` produced, in order."""
    reports = []
    producer = producer_type(
        {
            "bootstrap.servers": "127.0.0.1:1",  # nothing listens: every message stays in the local queue
            "log_level": 0,
            "message.max.bytes": MAX_MESSAGE,
            "on_delivery": lambda error, message: reports.append((error.code(), message.key(), message.value())),
            **config,
        }
    )
    produce(producer)
    producer.purge(in_queue=True, in_flight=True)
    assert producer.flush(5) == 0
    assert {code for code, _, _ in reports} == {kafka.KafkaError._PURGE_QUEUE}
    return [(key, value) for _, key, value in reports]


def kafka_headers(headers):
    """The headers as a consumer's Message.headers() gives them: values as bytes."""
    return [(name, value.encode()) for name, value in headers]


def test_the_serializer_in_a_serializing_producer_and_the_deserializer_round_trip():
    context = kafka.serialization.SerializationContext("trades", kafka.serialization.MessageField.VALUE)
    [(_, value)] = produced(
        kafka.SerializingProducer,
        lambda producer: producer.produce("trades", value=trades(0, rows=100)),
        **{"value.serializer": serde.TableSerializer(**OPTIONS)},
    )
    deserialize = serde.TableDeserializer()
    assert deserialize(value, context).equals(as_sent(trades(0, rows=100)))
    assert deserialize(None, context) is None and serde.TableSerializer()(None, context) is None  # tombstones
    damaged = bytearray(value)
    damaged[len(damaged) // 2] ^= 0x55
    with pytest.raises(pyvorl.FrameError):
        deserialize(bytes(damaged), context)


def test_produce_table_fits_message_max_bytes_and_keeps_the_parts_in_order_under_one_key():
    table = trades(1)
    sent = produced(
        kafka.Producer, lambda producer: serde.produce_table(producer, "t", b"eu", table, 60_000, **OPTIONS)
    )
    assert len(pyvorl.dumps(table, **OPTIONS)) > MAX_MESSAGE  # one frame would have been refused
    assert len(sent) > 1 and {key for key, _ in sent} == {b"eu"}
    assert pyvorl.concat(pyvorl.loads(value) for _, value in sent).equals(as_sent(table))


def test_the_assembler_puts_interleaved_tables_together_in_any_order():
    tables = [trades(2), trades(3, rows=5000)]
    messages = [message for table in tables for message in serde.table_messages(table, 20_000, **OPTIONS)]
    random.Random(4).shuffle(messages)
    assembler = serde.TableAssembler()
    whole = [table for value, headers in messages if (table := assembler.add(kafka_headers(headers), value))]
    assert sorted(table.num_rows for table in whole) == [5000, 20_000] and not assembler.held
    by_rows = {table.num_rows: table for table in whole}
    assert all(by_rows[len(columns["px"])].equals(as_sent(columns)) for columns in tables)


@pytest.mark.parametrize("damaged_part", [0, 1, -1])
def test_a_damaged_part_raises_and_drops_its_table_but_not_the_next(damaged_part):
    spoiled = list(serde.table_messages(trades(5), 20_000, **OPTIONS))
    value, headers = spoiled[damaged_part]
    broken = bytearray(value)
    broken[len(broken) // 2] ^= 0x55
    spoiled[damaged_part] = (bytes(broken), headers)
    assembler = serde.TableAssembler()
    for index, (value, headers) in enumerate(spoiled):
        if index == damaged_part % len(spoiled):
            with pytest.raises(pyvorl.FrameError):
                assembler.add(kafka_headers(headers), value)
        else:
            assert assembler.add(kafka_headers(headers), value) is None
    assert not assembler.held  # nothing of it is kept waiting for parts that cannot complete it
    [*parts, (value, headers)] = serde.table_messages(trades(6, rows=100), 20_000, **OPTIONS)
    assert not parts and assembler.add(kafka_headers(headers), value).equals(as_sent(trades(6, rows=100)))
