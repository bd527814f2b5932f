"""How any stage of the offline model declines.

A stage that cannot tie the question, or what the tools said, to the
database raises ``Unmappable`` with the reason; the LangChain adapter turns
it into a final answer that starts with ``CANNOT_ANSWER``.  Nothing in
between catches it, so a decline always reaches the user with its reason.
"""

from __future__ import annotations


CANNOT_ANSWER = "I can't answer that from the database with the offline model: "


class Unmappable(Exception):
    """The question, or what the tools said, cannot be turned into an answer."""
