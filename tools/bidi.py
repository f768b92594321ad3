"""A WebDriver BiDi session over its websocket (python3-websocket), as Firefox serves it: the
commands and their results, the events subscribed to, and the values a script is given and
returns.

    session = Session("ws://127.0.0.1:PORT/session", timeout=30)
    session.command("session.new", capabilities={})
    title = session.call(context, "function() { return document.title; }")
"""
import json
from dataclasses import dataclass

import websocket


@dataclass(frozen=True)
class Node:
    """An element of a document, as a script returned it; a script may be given it back."""
    shared_id: str


@dataclass(frozen=True)
class Window:
    """A window (or a frame's window), by its browsing context."""
    context: str


class BiDiError(RuntimeError):
    pass


class Session:
    def __init__(self, url, timeout):
        # Firefox refuses a connection that names an origin, as a web page's would.
        self.socket = websocket.create_connection(url, timeout=timeout, suppress_origin=True)
        self.events = []  # in the order they came, read while waiting for results
        self._last_id = 0

    def command(self, method, **params):
        """The result of one command; raises BiDiError with the browser's message."""
        self._last_id += 1
        try:
            self.socket.send(json.dumps({"id": self._last_id, "method": method, "params": params}))
            while True:
                message = json.loads(self.socket.recv())
                if message.get("type") == "event":
                    self.events.append(message)
                elif message.get("id") == self._last_id:
                    break
        except (websocket.WebSocketException, OSError) as error:
            raise BiDiError("%s: the connection failed: %s" % (method, error)) from error
        if message.get("type") == "error":
            raise BiDiError("%s: %s: %s" % (method, message["error"], message["message"]))
        return message["result"]

    def call(self, context, function, *args):
        """What function (JavaScript source), called with args in the browsing context,
        returns or its promise resolves to; raises BiDiError with what it threw."""
        result = self.command("script.callFunction", functionDeclaration=function,
                              arguments=[local_value(arg) for arg in args],
                              target={"context": context}, awaitPromise=True)
        if result["type"] == "exception":
            raise BiDiError(result["exceptionDetails"]["text"])
        return remote_value(result["result"])

    def close(self):
        self.socket.close()


def local_value(value):
    """A value of Python's as BiDi hands it to a script."""
    if isinstance(value, Node):
        return {"sharedId": value.shared_id}
    if value is None:
        return {"type": "null"}
    if isinstance(value, bool):
        return {"type": "boolean", "value": value}
    if isinstance(value, (int, float)):
        return {"type": "number", "value": value}
    if isinstance(value, str):
        return {"type": "string", "value": value}
    if isinstance(value, (list, tuple)):
        return {"type": "array", "value": [local_value(item) for item in value]}
    if isinstance(value, dict):
        return {"type": "object",
                "value": [[str(key), local_value(item)] for key, item in value.items()]}
    raise TypeError("no BiDi value for %r" % (value,))


SPECIAL_NUMBERS = {"NaN": float("nan"), "-0": -0.0, "Infinity": float("inf"),
                   "-Infinity": float("-inf")}


def remote_value(remote):
    """A value a script returned, as Python's: elements as Node, windows as Window."""
    kind, value = remote["type"], remote.get("value")
    if kind in ("undefined", "null"):
        return None
    if kind == "number":
        return SPECIAL_NUMBERS.get(value, value) if isinstance(value, str) else value
    if kind in ("string", "boolean"):
        return value
    if kind in ("array", "set"):
        return [remote_value(item) for item in value]
    if kind in ("object", "map"):
        return {key if isinstance(key, str) else remote_value(key): remote_value(item)
                for key, item in value}
    if kind == "node":
        return Node(remote["sharedId"])
    if kind == "window":
        return Window(value["context"])
    raise BiDiError("a script returned a %s, which has no value here" % kind)
