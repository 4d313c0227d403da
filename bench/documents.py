"""A JSON-like document and the pure-Python recursive freeze a user would write."""


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
