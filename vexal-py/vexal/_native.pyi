# The vexal package's native module; `vexal.plan` is its documented face.
from typing import Literal

from _vexal import Config

# A failed plan raises ValueError with the attribute `kind`: "invalid_input",
# "infeasible", "solver_status", "solver_construction" or "json".

def plan(config: Config | str, search: Literal["golden", "fast"] = "golden",
         tolerance: float = 2e-4, pointing: bool = False,
         landing: Literal["target", "nearest"] = "target") -> dict[str, bytes | str | float | int]: ...
def checked(config: Config | str, landing: Literal["target", "nearest"] = "target") -> None: ...
def stop_all(stop: bool = True) -> None: ...
