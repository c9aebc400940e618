"""A page opened in headless Chromium through its DevTools protocol (over a
pipe: no port, no websocket library): console errors, failed or outside
requests, values read from the rendered page, and a screenshot."""
from __future__ import annotations

import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import Any, Dict, List, Optional

BROWSERS = ("chromium", "chromium-browser")


def browser() -> Optional[str]:
    for name in BROWSERS:
        found = shutil.which(name)
        if found:
            return found
    return None


class Browser:
    """One headless browser with a profile and a home of its own, as root too."""

    def __init__(self, executable: str) -> None:
        self.folder = tempfile.TemporaryDirectory(prefix="marlune-browser-")
        home = Path(self.folder.name)
        env = {"HOME": str(home), "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8"}
        commands_read, self._commands = os.pipe()
        self._events, events_write = os.pipe()
        arguments = [executable, "--headless", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
                     "--remote-debugging-pipe", f"--user-data-dir={home / 'profile'}", "--window-size=1200,1600"]
        if os.geteuid() == 0:
            arguments.append("--no-sandbox")  # the sandbox refuses to run as root
        # The protocol's pipes are descriptors 3 (commands in) and 4 (answers out); moved above
        # both first so that neither is closed by the other's move. Every other descriptor
        # of ours is not inherited.
        def pipes() -> None:
            commands, events = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (commands_read, events_write))
            os.dup2(commands, 3)
            os.dup2(events, 4)
        self.process = subprocess.Popen(arguments + ["about:blank"], env=env, close_fds=False, preexec_fn=pipes, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE if os.environ.get("MARLUNE_BROWSER_DEBUG") else subprocess.DEVNULL)
        os.close(commands_read)
        os.close(events_write)
        self._reader = os.fdopen(self._events, "rb")
        self._next_id = 0
        self._buffer = b""
        self.events: List[Dict[str, Any]] = []
        self.session: Optional[str] = None

    def _message(self) -> Dict[str, Any]:
        while b"\0" not in self._buffer:
            more = os.read(self._events, 1 << 16)
            if not more:
                raise RuntimeError("the browser closed its protocol pipe")
            self._buffer += more
        text, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(text)

    def call(self, method: str, **params: Any) -> Dict[str, Any]:
        self._next_id += 1
        message: Dict[str, Any] = {"id": self._next_id, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        while True:
            answer = self._message()
            if answer.get("id") == self._next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer.get("result", {})
            if "method" in answer:
                self.events.append(answer)

    def wait_for(self, method: str) -> Dict[str, Any]:
        for event in self.events:
            if event["method"] == method:
                return event
        while True:
            answer = self._message()
            if "method" in answer:
                self.events.append(answer)
                if answer["method"] == method:
                    return answer

    def open(self, url: str, scripts: bool = True) -> None:
        targets = self.call("Target.getTargets")["targetInfos"]
        page = next(target for target in targets if target["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(f"{domain}.enable")
        if not scripts:
            self.call("Emulation.setScriptExecutionDisabled", value=True)
        self.events.clear()
        self.call("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression: str) -> Any:
        answer = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in answer:
            raise RuntimeError(f"{expression}: {answer['exceptionDetails']}")
        return answer["result"].get("value")

    def problems(self, url: str) -> List[str]:
        """Console errors, exceptions, and requests for anything but the page itself."""
        found = []
        for event in self.events:
            method, params = event["method"], event.get("params", {})
            if method == "Runtime.exceptionThrown":
                found.append(f"exception: {params['exceptionDetails'].get('text')}")
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert", "warning"):
                found.append(f"console {params['type']}: {params.get('args')}")
            elif method == "Log.entryAdded" and params["entry"].get("level") in ("error", "warning"):
                found.append(f"log {params['entry']['level']}: {params['entry'].get('text')}")
            elif method == "Network.requestWillBeSent" and params["request"]["url"] != url:
                found.append(f"request: {params['request']['url']}")
            elif method == "Network.loadingFailed":
                found.append(f"failed to load: {params.get('errorText')}")
        return found

    def screenshot(self, path: Path) -> None:
        shot = self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        path.write_bytes(base64.b64decode(shot["data"]))

    def close(self) -> None:
        try:
            self.call("Browser.close")
        except (RuntimeError, OSError):
            pass
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._reader.close()
        os.close(self._commands)
        self.folder.cleanup()

    def __enter__(self) -> "Browser":
        return self

    def __exit__(self, *_: Any) -> None:
        self.close()
