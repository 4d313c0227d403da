"""A short demonstration of quillet."""

import quillet.utils as qu


def main() -> None:
    key = qu.get_cache_key("user", 42)
    print("get_cache_key('user', 42) ->", type(key).__name__, "hash", hash(key))
    values = qu.HashableValues([1, 2], op=4)
    print("HashableValues([1, 2], op=4): len", len(values), "hash", hash(values))
    print("xor_hash(1, 2, 3) =", qu.xor_hash(1, 2, 3), " alt_xor_hash(1, 2, 3) =", qu.alt_xor_hash(1, 2, 3))


if __name__ == "__main__":
    main()
