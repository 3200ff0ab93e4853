# The page as WebKit's remote inspector shows it.

import json
import re
import time
import urllib.request

import websocket

from . import wait_until


class Inspector:
    # One connection to the page; a page takes one at a time and keeps quiet to a second.

    def __init__(self, port, timeout=5.0):
        # Whatever proxy the environment names, the inspector is asked directly. With no
        # page listed yet this fails, and the caller tries again.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(f"http://127.0.0.1:{port}/", timeout=2) as answer:
            path = re.findall(r"/socket/\d+/\d+/WebPage", answer.read().decode())[0]
        deadline = time.monotonic() + timeout
        self.socket = websocket.create_connection(f"ws://127.0.0.1:{port}{path}",
                                                  timeout=timeout, http_no_proxy=["127.0.0.1"])
        self.target, self.answers, self.last_id = None, {}, 0
        while self.target is None:
            self._pump(deadline)

    def close(self):
        self.socket.close(timeout=1)

    def _send(self, method, **params):
        self.last_id += 1
        self.socket.send(json.dumps({"id": self.last_id, "method": method, "params": params}))
        return self.last_id

    def _pump(self, deadline):
        self.socket.settimeout(max(deadline - time.monotonic(), 0.001))
        message = json.loads(self.socket.recv())
        method, params = message.get("method"), message.get("params", {})
        info = params.get("targetInfo", {})
        if "error" in message:
            self.answers[message["id"]] = message
        elif method == "Target.targetCreated" and info["type"] == "page":
            if not info.get("isProvisional"):
                self.target = info["targetId"]
            if info.get("isPaused"):
                self._send("Target.resume", targetId=info["targetId"])
        elif method == "Target.didCommitProvisionalTarget":
            self.target = params["newTargetId"]
        elif method == "Target.targetDestroyed" and params["targetId"] == self.target:
            self.target = None
        elif method == "Target.dispatchMessageFromTarget" and params["targetId"] == self.target:
            inner = json.loads(params["message"])
            if "id" in inner:
                self.answers[inner["id"]] = inner

    def evaluate(self, expression, timeout=10.0):
        # The expression's value, as JSON carries it. A navigation that swaps the web
        # process replaces the target; the expression then goes once more to the new one.
        deadline = time.monotonic() + timeout
        for _ in range(2):
            while self.target is None:
                self._pump(deadline)
            target = self.target
            inner = self.last_id = self.last_id + 1
            outer = self._send("Target.sendMessageToTarget", targetId=target, message=json.dumps(
                {"id": inner, "method": "Runtime.evaluate",
                 "params": {"expression": expression, "returnByValue": True}}))
            while not {inner, outer} & self.answers.keys() and self.target == target:
                self._pump(deadline)
            if inner in self.answers or self.target == target:
                break
        answer = self.answers.pop(inner, None) or self.answers.pop(outer, {"error": "page gone"})
        result = answer.get("result", {})
        if "error" in answer or result.get("wasThrown"):
            raise RuntimeError(f"{expression!r}: {answer.get('error') or result['result']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10.0):
        # The expression's value once JavaScript finds it true (a DOM node arrives here as {}).
        probe = f"(() => {{ const value = ({expression}); return [!!value, value]; }})()"
        return wait_until(lambda: self.evaluate(probe, min(5.0, timeout)), timeout, 0.1,
                          what=repr(expression), accept=lambda seen: seen[0],
                          fatal=(websocket.WebSocketConnectionClosedException,))[1]
