"""Ask a MySQL database questions in plain English through quorvane's
``DatabaseConnector`` and ``AgentRunner``: the offline model, the ``quorvane-ask``
command, a throw-away private MariaDB server and a sample shop to try it on.

The names are loaded on first use, so that ``quorvane-ask --help`` does not
pay for importing LangChain.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    # What the checker sees of the names the lazy loader below hands out.
    from .offline import CANNOT_ANSWER, OfflineSQLModel
    from .privatedb import PrivateMariaDB, PrivateMariaDBError
    from .sample_shop import load_sample

__all__ = ["OfflineSQLModel", "CANNOT_ANSWER", "PrivateMariaDB", "PrivateMariaDBError",
           "load_sample"]

_HOMES = {
    "OfflineSQLModel": ".offline",
    "CANNOT_ANSWER": ".offline",
    "PrivateMariaDB": ".privatedb",
    "PrivateMariaDBError": ".privatedb",
    "load_sample": ".sample_shop",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(home, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
