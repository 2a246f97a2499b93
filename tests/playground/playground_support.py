"""The playground server started as `python3 -m playground` on a free port, and a page
stand-in in Python that answers the kernel's requests with the simulated add-in's handler."""

import asyncio
import os
import re
import subprocess
import sys
import urllib.parse

import aiohttp

from addin_sim.handler import RequestHandler

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
URL_LINE = re.compile(r"^Playground at (http://127\.0\.0\.1:(\d+)/\?token=(\S+))$")


class Server:
    def __init__(self, proc, line):
        match = URL_LINE.match(line.rstrip("\n"))
        assert match, f"unexpected first line: {line!r}"
        self.proc = proc
        self.url, self.port, self.token = match.group(1), int(match.group(2)), match.group(3)
        self.origin = f"http://127.0.0.1:{self.port}"

    def ws_url(self, token=None):
        return f"{self.origin}/ws?token={urllib.parse.quote(token or self.token)}"


def start_server():
    env = dict(os.environ, PYTHONPATH=ROOT, PLAYGROUND_PORT="0")
    proc = subprocess.Popen([sys.executable, "-m", "playground"], cwd=ROOT, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    line = proc.stdout.readline()
    if not line:
        proc.kill()
        raise RuntimeError(f"the playground did not start: {proc.stderr.read()}")
    return Server(proc, line)


def stop_server(server):
    server.proc.terminate()
    try:
        server.proc.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        server.proc.kill()
        server.proc.communicate()


class Page:
    """What the browser page does, in Python: answers requests, collects output and answers.

    `answering` False leaves requests unanswered, as a page that hangs or goes away would.
    """

    def __init__(self, server, session, ws):
        self.server = server
        self.session = session
        self.ws = ws
        self.handler = RequestHandler()
        self.handler.on_event = self._on_event
        self.answering = True
        self.close_code = None
        self.messages = []
        self.requests = []
        self._changed = asyncio.Event()
        self._reader = asyncio.create_task(self._read())
        self._next_id = 0

    async def _read(self):
        while True:
            msg = await self.ws.receive()
            if msg.type in (aiohttp.WSMsgType.CLOSE, aiohttp.WSMsgType.CLOSED, aiohttp.WSMsgType.ERROR):
                self.close_code = msg.data if msg.type == aiohttp.WSMsgType.CLOSE else None
                break
            if msg.type != aiohttp.WSMsgType.TEXT:
                continue
            message = msg.json()
            self.messages.append(message)
            if message.get("kind") == "request":
                self.requests.append(message)
                if self.answering:
                    await self.answer(message)
            self._changed.set()
        self._changed.set()

    async def answer(self, envelope):
        response = self.handler.handle(envelope)
        await self.ws.send_json({**response, "requestId": envelope["requestId"], "kind": "response"})

    def _on_event(self, callable_id, event):
        asyncio.get_running_loop().create_task(self.invoke(callable_id, [self.handler.encode(event)]))

    async def send(self, **message):
        await self.ws.send_json(message)

    async def invoke(self, callable_id, args):
        self._next_id += 1
        await self.send(kind="invoke", callId=self._next_id, callableId=callable_id, args=args)
        return self._next_id

    async def wait_for(self, predicate, timeout=30, start=0):
        """The first message from index `start` on that satisfies predicate, waiting for it."""
        async def scan():
            while True:
                for message in self.messages[start:]:
                    if predicate(message):
                        return message
                if self.ws.closed and self._reader.done():
                    raise AssertionError(f"socket closed; messages: {self.messages}")
                self._changed.clear()
                await self._changed.wait()
        return await asyncio.wait_for(scan(), timeout)

    async def start(self, code, modules=None):
        """Starts a script; returns its run number."""
        self._next_id += 1
        tag = self._next_id  # output replayed from before this page names other runs
        await self.send(kind="run", code=code, module="main", modules=modules or {}, tag=tag)
        started = await self.wait_for(lambda m: m.get("kind") == "runState" and m.get("tag") == tag)
        return started["run"]

    async def finished(self, run, timeout=30):
        """Waits for the run's end; returns (final state, its output text)."""
        final = await self.wait_for(lambda m: m.get("kind") == "runState" and m["run"] == run
                                    and m["state"] != "running", timeout)
        return final["state"], self.output(run)

    async def run(self, code, modules=None, timeout=30):
        return await self.finished(await self.start(code, modules), timeout)

    def output(self, run=None):
        return "".join(m["text"] for m in self.messages
                       if m.get("kind") == "output" and (run is None or m["run"] == run))

    async def lsp(self, method, **params):
        self._next_id += 1
        ident = self._next_id
        await self.send(kind="lsp", id=ident, method=method, params=params)
        answer = await self.wait_for(lambda m: m.get("kind") == "lspResult" and m["id"] == ident, 60)
        return answer["result"]

    async def close(self):
        await self.ws.close()
        await self._reader
        await self.session.close()


async def open_page(server, origin=None):
    session = aiohttp.ClientSession()
    ws = await session.ws_connect(server.ws_url(), origin=origin or server.origin)
    return Page(server, session, ws)
