"""The main job against an OpenAI-compatible server, over real HTTP.

A chat-completions endpoint on loopback plays the model: it answers with a
scripted ReAct conversation and cuts each reply at the stop sequences it is
sent, as a real server does.  quorvane_ask runs against it through the
real langchain_openai client, its private MariaDB server and the sample
shop, so every observation the endpoint sees comes from the database.
"""

import json
import os
import re
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from quorvane_ask.sample_shop import generate

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
QUESTION = "How many customers are there?"
MODEL = "local-sql-model"

# Each reply runs on into an observation of its own invention; only a server
# that honours `stop` keeps it out of the agent's scratchpad, where the tool
# inputs would otherwise carry it into the database.
SCRIPT = (
    "I should look at the tables.\nAction: sql_db_list_tables\nAction Input: \n"
    "Observation: customers, invented",
    "I should read the customers table.\nAction: sql_db_schema\nAction Input: customers\n"
    "Observation: CREATE TABLE invented (id INT)",
    "I can count them.\nAction: sql_db_query\nAction Input: SELECT COUNT(*) FROM customers\n"
    "Observation: [(0,)]",
)
COUNT_RESULT = re.compile(r"Observation: \[\((\d+),\)\]")


class ChatEndpoint(BaseHTTPRequestHandler):
    requests: list  # set per server, see endpoint()

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        self.requests.append((self.path, self.headers.get("Authorization"), body))
        prompt = body["messages"][-1]["content"]
        step = prompt.count("\nObservation: ") - prompt.count("\nObservation: the result")
        if step < len(SCRIPT):
            reply = SCRIPT[step]
        else:
            # The answer is read back from the query result the agent sent.
            found = COUNT_RESULT.findall(prompt)
            reply = ("I now know the final answer\nFinal Answer: There are "
                     f"{found[-1] if found else 'no'} customers.")
        for stop in body.get("stop") or ():
            reply = reply.split(stop, 1)[0]
        if body.get("stream"):
            self.stream(body["model"], reply)
        else:
            self.send(200, "application/json", json.dumps(self.completion(
                body["model"], "chat.completion", message={"role": "assistant", "content": reply},
                finish_reason="stop")))

    def completion(self, model, kind, **choice):
        return {"id": f"chatcmpl-{len(self.requests)}", "object": kind, "created": 0,
                "model": model, "choices": [{"index": 0, **choice}]}

    def stream(self, model, reply):
        # The agent streams its model calls: the reply goes out as
        # server-sent events, a line at a time, then the closing event.
        pieces = [{"delta": {"role": "assistant", "content": ""}, "finish_reason": None}]
        pieces += [{"delta": {"content": line}, "finish_reason": None}
                   for line in reply.splitlines(keepends=True)]
        pieces.append({"delta": {}, "finish_reason": "stop"})
        events = "".join(
            f"data: {json.dumps(self.completion(model, 'chat.completion.chunk', **p))}\n\n"
            for p in pieces)
        self.send(200, "text/event-stream", events + "data: [DONE]\n\n")

    def send(self, status, content_type, text):
        payload = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, *args):
        pass


@pytest.fixture
def endpoint():
    handler = type("Handler", (ChatEndpoint,), {"requests": []})
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server, handler.requests
    server.shutdown()
    server.server_close()


def test_ask_through_openai_compatible_endpoint(endpoint):
    server, received = endpoint
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(OPENAI_API_KEY="test-key", OPENAI_MODEL=MODEL, NO_PROXY="127.0.0.1,localhost",
               OPENAI_BASE_URL=f"http://127.0.0.1:{server.server_address[1]}/v1")
    run = subprocess.run([sys.executable, "-m", "quorvane_ask", QUESTION], cwd=ROOT, env=env,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-2000:]

    customers = len(generate()["customers"])
    answer = [line for line in run.stdout.splitlines() if line.strip()][-1]
    assert answer.endswith(f"There are {customers} customers.")

    assert len(received) == len(SCRIPT) + 1
    for path, auth, body in received:
        assert (path, auth, body["model"], body["temperature"]) == (
            "/v1/chat/completions", "Bearer test-key", MODEL, 0)
        assert body["stop"] == ["\nObservation"]
        assert [m["role"] for m in body["messages"]] == ["user"]
        assert f"Question: {QUESTION}\nThought:" in body["messages"][0]["content"]

    # The last prompt holds the real observations, and none of the ones the
    # script made up past its stop sequence.
    last = received[-1][2]["messages"][0]["content"]
    assert "Observation: customers, order_items, orders, products" in last
    assert "CREATE TABLE customers (" in last
    assert f"Observation: [({customers},)]" in last
    assert "invented" not in last and "[(0,)]" not in last
