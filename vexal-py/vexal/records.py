"""The configuration as plain values: `asdict`, `replace` and `describe`.

A `Config` and its three records (`Spacecraft`, `Environment`, `Solver`)
are the exact module's: `config.spacecraft` hands out a copy, so
`config.spacecraft.fuel = 202` changes a copy and is lost. The ways to
derive a configuration are `vexal.replace(config, fuel=202)` (any field by
its own name), a plain dict (`vexal.asdict(config)`, edited, then given to
`vexal.plan` or `vexal.configured`), or a record assigned whole.
"""
import math
import sys
from typing import Any

import _vexal

from .planning import DEFAULTS, derived

Record = _vexal.Config | _vexal.Spacecraft | _vexal.Environment | _vexal.Solver
RECORDS: dict[type, str] = {_vexal.Spacecraft: "spacecraft", _vexal.Environment: "environment",
                            _vexal.Solver: "solver"}


def asdict(config: Record) -> dict[str, Any]:
    """The fields of a Config as a nested dict ({"spacecraft": {...}, ...},
    the shape of its JSON), or of one record as a flat dict; NaN and
    infinities are kept, vectors are lists."""
    if isinstance(config, _vexal.Config):
        return {record: asdict(getattr(config, record)) for record in DEFAULTS}
    record = RECORDS.get(type(config))
    if record is None:
        raise TypeError(f"asdict() takes a vexal.Config or one of its records, got {type(config).__name__}")
    return {name: getattr(config, name) for name in DEFAULTS[record]}


def replace(config: _vexal.Config | dict[str, Any], /, **fields: object) -> _vexal.Config:
    """A new Config: `config` with the named fields replaced, each by its
    own name, e.g. `replace(config, fuel=202.0, n=60)`. A field that does
    not exist, or a value it cannot hold, is an error naming it."""
    if not isinstance(config, _vexal.Config | dict):
        raise TypeError(f"replace() takes a vexal.Config or a dict, got {type(config).__name__}")
    return derived(config, fields, "replace()")


def describe(config: Record, width: int = 100, column: int = 0) -> str:
    """The configuration as the Python expression that builds it, its fields
    wrapped to `width` columns (the text starting at `column`): what `repr`
    of a dataclass shows."""
    if isinstance(config, _vexal.Config):
        parts = [f"{record}={describe(getattr(config, record), width, column + 8 + len(record))}"
                 for record in DEFAULTS]
        return "Config(" + (",\n" + " " * (column + 7)).join(parts) + ")"
    name = type(config).__name__
    indent = column + len(name) + 1
    lines, line = [], ""
    for item in (f"{key}={value_text(value)}" for key, value in asdict(config).items()):
        if line and indent + len(line) + len(item) + 3 > width:
            lines.append(line + ",")
            line = item
        else:
            line = f"{line}, {item}" if line else item
    lines.append(line)
    return f"{name}(" + ("\n" + " " * indent).join(lines) + ")"


def value_text(value: object) -> str:
    """A field's value as Python text: nan and inf as float('nan'), ..."""
    if isinstance(value, float) and not math.isfinite(value):
        return f"float('{value}')"
    if isinstance(value, list):
        return "[" + ", ".join(map(value_text, value)) + "]"
    return repr(value)


def register_pretty() -> None:
    """In IPython and Jupyter, a Config or record shown at the prompt is
    its `describe` text. The exact module's classes keep the default repr
    that the contract fixes; only the display of an IPython session the
    package is imported into changes."""
    pretty = sys.modules.get("IPython.lib.pretty")
    if pretty is None:
        return

    def printer(value: Record, p: Any, cycle: bool) -> None:
        p.text(describe(value))

    for cls in (_vexal.Config, *RECORDS):
        pretty.for_type(cls, printer)
