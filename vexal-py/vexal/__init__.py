"""vexal: fuel-optimal powered-descent planning.

The planner itself is the native module `_vexal`; this package adds what its
users reach for next.
"""
from .trajectory import format_summary, node_table, summary, time_of_flight

__all__ = ["format_summary", "node_table", "summary", "time_of_flight"]
