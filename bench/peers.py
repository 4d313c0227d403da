"""The immutable mappings a user would pick instead of quillet's.

They are installed into the benchmark environment only; a peer that cannot be
imported loses its rows, and the run says why.
"""

import importlib

# label -> (module, attribute) of the constructor that takes a dict.
MAPPINGS = {
    "frozendict package": ("frozendict", "frozendict"),
    "immutabledict": ("immutabledict", "immutabledict"),
    "immutables.Map": ("immutables", "Map"),
    "pyrsistent.pmap": ("pyrsistent", "pmap"),
}
# label -> (module, attribute) of the recursive freeze.
DEEP_FREEZES = {
    "frozendict.deepfreeze": ("frozendict", "deepfreeze"),
    "pyrsistent.freeze": ("pyrsistent", "freeze"),
}


def load(module, attribute):
    return getattr(importlib.import_module(module), attribute)


def mapping(label):
    return load(*MAPPINGS[label])


def deep_freeze(label):
    return load(*DEEP_FREEZES[label])


def missing(module):
    """Why `module` cannot be imported, or None when it can."""
    try:
        importlib.import_module(module)
    except ImportError as error:
        return str(error)
    return None


def versions():
    found = {}
    for module in sorted({module for module, _ in (*MAPPINGS.values(), *DEEP_FREEZES.values())}):
        if missing(module) is None:
            from importlib.metadata import version

            found[module] = version(module)
    return found
