"""The offline model: a LangChain ``LLM`` that answers questions about a
MySQL database by reading what the SQL agent's tools return, with no model
service, and declines, saying why, what it cannot tie to the database."""

from .decline import CANNOT_ANSWER
from .llm import OfflineSQLModel
from .phrasing import LIST_CAP

__all__ = ["OfflineSQLModel", "CANNOT_ANSWER", "LIST_CAP"]
