"""vexal: fuel-optimal powered-descent planning.

The planner itself is the native module `_vexal`; this package adds what its
users reach for next: dispersion studies (`dispersions`, `solve_many`).
"""
from .study import CaseResult, Sigma, dispersions, solve_many
from .trajectory import format_summary, node_table, summary, time_of_flight

__all__ = ["CaseResult", "Sigma", "dispersions", "format_summary", "node_table", "solve_many",
           "summary", "time_of_flight"]
