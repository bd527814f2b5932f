from typing import Any

class DatabaseConnector:
    db_user: Any
    db_password: Any
    db_host: Any
    db_name: Any
    db: Any
    connection_status: dict[str, Any]
    def __init__(
        self,
        db_user: Any = None,
        db_password: Any = None,
        db_host: Any = None,
        db_name: Any = None,
    ) -> None: ...
    def connect(self) -> dict[str, Any]: ...
    def getdbinstance(self) -> Any: ...

class AgentRunner:
    llm: Any
    toolkit: Any
    verbose: Any
    agent_type: Any
    agent_runner: Any
    error: BaseException | None
    def __init__(self, llm: Any, toolkit: Any, verbose: Any = True, agent_type: Any = ...) -> None: ...
    def run(self, query: Any) -> Any: ...
