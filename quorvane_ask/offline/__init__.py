"""The offline model: a LangChain ``LLM`` that answers questions about a
MySQL database by reading what the SQL agent's tools return, with no model
service, and declines, saying why, what it cannot tie to the database.

The stages, each importing only from the ones above it:

- ``decline``: ``Unmappable``, the one way any stage declines, with its reason;
- ``words``: tokens, stems and the general lexicon of everyday English;
- ``observations``: the scratchpad's steps, the ``CREATE TABLE`` texts as
  tables and columns, and query results as rows;
- ``schema``: the join graph, its one path per pair of tables, the order
  lines and the money column;
- ``reader``: the question read against the schema into a ``Parse``;
- ``sql``: every SQL text, with quoting in one place;
- ``phrasing``: every answer text;
- ``planner``: a ``Parse`` to a ``Plan`` (a query and its answer), written
  and phrased by the two stages above;
- ``llm``: the ``LLM`` adapter that drives the ReAct steps.
"""

from .decline import CANNOT_ANSWER
from .llm import OfflineSQLModel
from .phrasing import LIST_CAP

__all__ = ["OfflineSQLModel", "CANNOT_ANSWER", "LIST_CAP"]
