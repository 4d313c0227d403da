"""JSON-like documents, made up and real, and the pure-Python recursive freeze a user would write."""

import gzip
import json
from functools import cache
from pathlib import Path

# Debian's iso-codes package: 7 910 flat records, one per ISO 639-3 language.
ISO_639_3 = Path("/usr/share/iso-codes/json/iso_639-3.json")


def json_document(records=105):
    """About 2 000 nodes: records of scalars, lists and nested dicts."""
    return {
        "meta": {"version": 3, "tags": ["a", "b", "c"], "owner": None},
        "records": [
            {
                "id": i,
                "name": f"item-{i}",
                "price": i * 1.25,
                "active": i % 2 == 0,
                "tags": [f"t{i % 7}", f"t{i % 5}"],
                "dims": {"w": i, "h": i + 1, "unit": "cm"},
                "history": [{"at": i * 10 + j, "ok": j % 2 == 0} for j in range(2)],
            }
            for i in range(records)
        ],
    }


def py_freeze(value):
    if isinstance(value, dict):
        return frozendict({k: py_freeze(v) for k, v in value.items()})  # noqa: F821 - 3.15 built-in
    if isinstance(value, (list, tuple)):
        return tuple([py_freeze(v) for v in value])
    if isinstance(value, set):
        return frozenset([py_freeze(v) for v in value])
    return value


def count_nodes(value):
    if isinstance(value, dict):
        return 1 + sum(count_nodes(v) for v in value.values())
    if isinstance(value, (list, tuple)):
        return 1 + sum(count_nodes(v) for v in value)
    return 1


def botocore_data(relative):
    """A JSON document that botocore ships as data, gzipped or not."""
    import botocore

    path = Path(botocore.__file__).parent / "data" / relative
    raw = path.read_bytes()
    return json.loads(gzip.decompress(raw) if path.suffix == ".gz" else raw)


def flagged_records(count=20_000):
    """Distinct records of flag and small-count fields, the kind a set deduplicates."""
    return [{"active": i % 2 == 0, "admin": i % 3 == 0, "count": i % 50, "level": i // 50 % 400} for i in range(count)]


# label -> (loader, module it needs): many small nested dicts, as real frozen data is.
REAL_DOCUMENTS = {
    "language table": (lambda: json.loads(ISO_639_3.read_text(encoding="utf-8")), None),
    "endpoint map": (lambda: botocore_data("endpoints.json"), "botocore"),
    "API model": (lambda: botocore_data("quicksight/2018-04-01/service-2.json.gz"), "botocore"),
}


@cache
def real_document(label):
    return REAL_DOCUMENTS[label][0]()


def real_document_available(label):
    return label != "language table" or ISO_639_3.exists()
