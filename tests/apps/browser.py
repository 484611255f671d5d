"""Headless Chromium driven through its remote-debugging protocol, and drfn3 with its live
view: what the browser test and the view benchmark share. Debian's chromium and
python3-websocket; everything stays on the loopback address."""

import base64
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request

import websocket

CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    # WebGL for the 3D boxes, drawn in software.
    "--enable-unsafe-swiftshader",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    # A hidden page's timers are not slowed: the page is watched, not looked at.
    "--disable-background-timer-throttling",
    "--disable-renderer-backgrounding",
    "--remote-debugging-address=127.0.0.1",
    "--remote-debugging-port=0",
]


def wait_for(what, check, timeout, step=0.1):
    end = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() >= end:
            raise TimeoutError(f"{what}: not within {timeout} s")
        time.sleep(step)


class Chromium:
    """One headless browser with a fresh profile, and one page in it."""

    def __init__(self, width=1280, height=1000):
        self.profile = tempfile.mkdtemp(prefix="drfn3-chromium-")
        self.process = subprocess.Popen(
            ["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={self.profile}", f"--window-size={width},{height}", "about:blank"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        self._next = 0
        try:
            port_file = os.path.join(self.profile, "DevToolsActivePort")
            wait_for("Chromium's debugging port", lambda: os.path.exists(port_file) and open(port_file).read().strip(), 30)
            port = int(open(port_file).read().split()[0])
            targets = wait_for("a page in Chromium", lambda: self._pages(port), 10)
            # Chromium refuses debugging sockets that name an origin.
            self.socket = websocket.create_connection(targets[0]["webSocketDebuggerUrl"], timeout=30, suppress_origin=True)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _pages(port):
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as answer:
            return [t for t in json.load(answer) if t.get("type") == "page"]

    def call(self, method, **params):
        self._next += 1
        self.socket.send(json.dumps({"id": self._next, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self._next:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def navigate(self, url):
        self.call("Page.navigate", url=url)

    def screenshot(self, path, height_of=None):
        """The page as it shows; with height_of, down to the bottom of that element only."""
        params = {"format": "png"}
        if height_of:
            size = self.evaluate(
                f"(() => {{ const r = document.querySelector({height_of!r}).getBoundingClientRect();"
                " return [document.documentElement.clientWidth, Math.ceil(r.bottom) + 8]; })()"
            )
            params["clip"] = {"x": 0, "y": 0, "width": size[0], "height": size[1], "scale": 1}
        data = self.call("Page.captureScreenshot", **params)["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def cpu_seconds(self):
        """CPU time of every process of this browser so far."""
        total = 0.0
        for pid in _descendants(self.process.pid) + [self.process.pid]:
            total += process_cpu_seconds(pid)
        return total

    def close(self):
        try:
            self.socket.close()
        except Exception:
            pass
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _descendants(pid):
    children = []
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            for child in f.read().split():
                children.append(int(child))
                children.extend(_descendants(int(child)))
    except OSError:
        pass
    return children


def process_cpu_seconds(pid):
    """User and system CPU of a process, from /proc."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Drfn3:
    """drfn3 started with arguments; with its live view (expect_url), url once it printed it."""

    def __init__(self, drfn3, args, env=None, expect_url=True):
        self.process = subprocess.Popen(
            [drfn3, *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
            start_new_session=True,
        )
        self.lines = []
        self.url = None
        while expect_url and self.url is None:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError(f"drfn3 printed no address: {self.process.stderr.read()}")
            self.lines.append(line)
            found = re.search(r"Live view: (http://\S+)", line)
            if found:
                self.url = found.group(1)

    def wait_streaming(self, timeout=30):
        """Until the first status line: the pods stream."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            line = self.process.stdout.readline()
            if not line:
                break
            self.lines.append(line)
            if re.match(r"\s+\d+\.\d s ", line):
                return
        raise RuntimeError("drfn3 did not stream: " + "".join(self.lines))

    def finish(self, timeout=60):
        out, err = self.process.communicate(timeout=timeout)
        self.lines.append(out)
        return self.process.returncode, "".join(self.lines), err

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGINT)
        return self.finish()

    def kill(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
