# Type stubs for the native module: what editors and type checkers see of
# its two classes and the globals its module body binds.
import os as os
from typing import Any, TypedDict, type_check_only

import pymysql as pymysql  # type: ignore[import-untyped]  # ships no type information
from langchain.agents import AgentExecutor as AgentExecutor
from langchain.agents.agent_types import AgentType as AgentType
from langchain_community.agent_toolkits.sql.base import create_sql_agent as create_sql_agent
from langchain_community.agent_toolkits.sql.toolkit import (
    SQLDatabaseToolkit as SQLDatabaseToolkit,
)
from langchain_community.chat_models import ChatOpenAI as ChatOpenAI
from langchain_community.llms import OpenAI as OpenAI
from langchain_community.utilities.sql_database import SQLDatabase as SQLDatabase
from langchain_core.language_models import BaseLanguageModel
from sqlalchemy import create_engine as create_engine

__test__: dict[str, Any]

# The status dict exists only as a plain dict at run time; this names its
# two keys for the checker.
@type_check_only
class _ConnectionStatus(TypedDict):
    connected: bool
    message: str | None

class DatabaseConnector:
    db_user: str | None
    db_password: str | None
    db_host: str | None
    db_name: str | None
    db: SQLDatabase | None
    connection_status: _ConnectionStatus
    def __init__(
        self,
        db_user: str | None = None,
        db_password: str | None = None,
        db_host: str | None = None,
        db_name: str | None = None,
    ) -> None: ...
    def connect(self) -> _ConnectionStatus: ...
    # The database object; the status dict when a credential is missing; and
    # after a failed connection, the object of the last success or None.
    def getdbinstance(self) -> SQLDatabase | _ConnectionStatus | None: ...

class AgentRunner:
    llm: BaseLanguageModel[Any]
    toolkit: SQLDatabaseToolkit
    verbose: bool
    agent_type: AgentType
    agent_runner: AgentExecutor | None
    error: Exception | None
    def __init__(
        self,
        llm: BaseLanguageModel[Any],
        toolkit: SQLDatabaseToolkit,
        verbose: bool = True,
        agent_type: AgentType = ...,
    ) -> None: ...
    # The agent's answer, unchanged; None when no agent was built.
    def run(self, query: Any) -> Any: ...
