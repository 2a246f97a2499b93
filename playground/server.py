"""The playground's web server: the page, its static files and the editor from node_modules,
and the one WebSocket over which a page of our own origin, holding the token, drives the kernel.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import hmac
import json
import logging
import math
import os
import secrets
import threading

from aiohttp import WSCloseCode, WSMsgType, web

from .kernel import Kernel

log = logging.getLogger(__name__)

HERE = os.path.dirname(os.path.abspath(__file__))
STATIC = os.path.join(HERE, "static")
EXAMPLES = os.path.join(HERE, "examples")
MONACO = os.path.join(HERE, "node_modules", "monaco-editor", "min")

HOST = "127.0.0.1"
DEFAULT_PORT = 8765
REPLACED = 4001  # close code telling a page that another page took over: do not reconnect
MAX_MESSAGE = 64 * 1024 * 1024
MAX_PENDING_OUTPUT = 1024 * 1024  # characters of script output waiting for the socket
TRUNCATED = "\n[output dropped: the page could not keep up]\n"


class Outbox:
    """Messages for the page, posted from any thread and sent in order by the loop.

    Consecutive output of one run and stream is merged, and output beyond a bound is dropped,
    so a script printing in a loop cannot flood the loop or the socket. While no page is
    connected, output and run states wait here for the next one.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop):
        self._loop = loop
        self._lock = threading.Lock()
        self._items: collections.deque = collections.deque()
        self._output_chars = 0
        self._dropping = False
        self._wakeup: asyncio.Event | None = None
        self._scheduled = False

    def post(self, message: dict) -> None:
        with self._lock:
            if message.get("kind") == "output":
                self._add_output(message)
            else:
                self._items.append(message)
            if self._scheduled or self._wakeup is None:
                return
            self._scheduled = True
        self._loop.call_soon_threadsafe(self._wake)

    def _add_output(self, message: dict) -> None:
        text = message["text"]
        if self._output_chars + len(text) > MAX_PENDING_OUTPUT:
            if self._dropping:
                return
            self._dropping = True
            message = dict(message, text=TRUNCATED)
        last = self._items[-1] if self._items else None
        if (last is not None and last.get("kind") == "output" and last["run"] == message["run"]
                and last["stream"] == message["stream"]):
            last["text"] += message["text"]
        else:
            self._items.append(dict(message))
        self._output_chars += len(message["text"])

    def _wake(self) -> None:
        with self._lock:
            self._scheduled = False
        if self._wakeup is not None:
            self._wakeup.set()

    def take(self) -> list[dict]:
        with self._lock:
            items, self._items = list(self._items), collections.deque()
            self._output_chars, self._dropping = 0, False
        return items

    def attach(self, wakeup: asyncio.Event | None) -> None:
        with self._lock:
            self._wakeup = wakeup
            if wakeup is not None:
                # Requests of the page that went away were failed already: drop them.
                self._items = collections.deque(
                    m for m in self._items if m.get("kind") in ("output", "runState")
                )
        if wakeup is not None:
            wakeup.set()


class Playground:
    """The server and the kernel together; `start` binds, `url` is what to open."""

    def __init__(self, port: int = DEFAULT_PORT, token: str | None = None):
        self.port = port
        self.token = token or secrets.token_urlsafe(24)
        self.kernel: Kernel | None = None
        self.outbox: Outbox | None = None
        self._page: web.WebSocketResponse | None = None
        self._page_done: asyncio.Event | None = None
        self._page_replaced: asyncio.Event | None = None
        self._lsp_pool = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="kernel-lsp")
        self._runner: web.AppRunner | None = None

    @property
    def origin(self) -> str:
        return f"http://{HOST}:{self.port}"

    @property
    def url(self) -> str:
        return f"{self.origin}/?token={self.token}"

    # -- start and stop ---------------------------------------------------------------------

    async def start(self) -> None:
        self.outbox = Outbox(asyncio.get_running_loop())
        self.kernel = Kernel(self.outbox.post).start()
        app = web.Application(middlewares=[self._guard], client_max_size=MAX_MESSAGE)
        app.router.add_get("/", self._index)
        app.router.add_get("/ws", self._socket)
        app.router.add_get("/examples", self._examples)
        app.router.add_static("/static/", STATIC, follow_symlinks=False)
        for prefix, folder in (("/examples/", EXAMPLES), ("/monaco/", MONACO)):
            if os.path.isdir(folder):  # the editor is there once `npm ci` has run
                app.router.add_static(prefix, folder, follow_symlinks=False)
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False)
        await self._runner.setup()
        site = web.TCPSite(self._runner, HOST, self.port)
        await site.start()
        if self.port == 0:
            self.port = site._server.sockets[0].getsockname()[1]

    async def stop(self) -> None:
        if self._page is not None:
            await self._page.close(code=WSCloseCode.GOING_AWAY)
        if self._runner is not None:
            await self._runner.cleanup()
        if self.kernel is not None:
            self.kernel.close()
        self._lsp_pool.shutdown(wait=False, cancel_futures=True)

    # -- HTTP -------------------------------------------------------------------------------

    @web.middleware
    async def _guard(self, request: web.Request, handler):
        # A page of another site whose name resolves here must not reach even the files.
        if request.host not in (f"{HOST}:{self.port}", f"localhost:{self.port}"):
            raise web.HTTPForbidden(text="Unknown host")
        response = await handler(request)
        response.headers.setdefault("Cache-Control", "no-store")
        response.headers.setdefault("X-Frame-Options", "DENY")
        response.headers.setdefault("X-Content-Type-Options", "nosniff")
        return response

    async def _index(self, _request: web.Request) -> web.StreamResponse:
        return web.FileResponse(os.path.join(STATIC, "index.html"))

    async def _examples(self, _request: web.Request) -> web.Response:
        names = sorted(n for n in os.listdir(EXAMPLES) if n.endswith(".py")) \
            if os.path.isdir(EXAMPLES) else []
        return web.json_response([{"name": n[:-3], "file": f"/examples/{n}"} for n in names])

    # -- the page's socket ------------------------------------------------------------------

    def _refusal(self, request: web.Request) -> str | None:
        token = request.query.get("token", "")
        if not hmac.compare_digest(token.encode(), self.token.encode()):
            return "Wrong or missing token"
        if request.headers.get("Origin") != self.origin:
            return "Connections are accepted only from the playground's own page"
        return None

    async def _socket(self, request: web.Request) -> web.StreamResponse:
        refusal = self._refusal(request)
        if refusal is not None:
            raise web.HTTPForbidden(text=refusal)
        ws = web.WebSocketResponse(heartbeat=20, max_msg_size=MAX_MESSAGE)
        await ws.prepare(request)
        if self._page is not None:
            # The page in charge closes its own socket, so its close code is the one sent.
            self._page_replaced.set()
            await self._page_done.wait()
        replaced, done, wakeup = asyncio.Event(), asyncio.Event(), asyncio.Event()
        self._page, self._page_replaced, self._page_done = ws, replaced, done
        writer = reader = None
        try:
            # Waits on another thread: the kernel's listener resets messaging for this page.
            await asyncio.get_running_loop().run_in_executor(None, self.kernel.connected)
            writer = asyncio.create_task(self._write(ws, wakeup))
            reader = asyncio.create_task(self._read(ws))
            self.outbox.attach(wakeup)
            takeover = asyncio.create_task(replaced.wait())
            await asyncio.wait({reader, takeover}, return_when=asyncio.FIRST_COMPLETED)
            takeover.cancel()
            if replaced.is_set():
                await ws.close(code=REPLACED, message=b"Another page took over the kernel")
            await reader
        finally:
            self.outbox.attach(None)
            self.kernel.disconnected()
            if writer is not None:
                writer.cancel()
            self._page = None
            done.set()
        return ws

    async def _read(self, ws: web.WebSocketResponse) -> None:
        async for msg in ws:
            if msg.type == WSMsgType.TEXT:
                self._dispatch(msg.data)

    async def _write(self, ws: web.WebSocketResponse, wakeup: asyncio.Event) -> None:
        while not ws.closed:
            await wakeup.wait()
            wakeup.clear()
            for message in self.outbox.take():
                try:
                    text = encode(message)
                except (TypeError, ValueError) as exc:
                    self._refuse(message, exc)
                    continue
                await ws.send_str(text)

    def _refuse(self, message: dict, exc: Exception) -> None:
        log.warning("playground: a message that JSON cannot carry was not sent: %s", exc)
        if message.get("kind") == "request":
            self.kernel.deliver({"requestId": message.get("requestId"), "ok": False,
                                 "error": {"message": f"The request cannot be sent as JSON: {exc}"}})

    def _dispatch(self, text: str) -> None:
        try:
            message = json.loads(text)
        except ValueError:
            log.warning("playground: a message that is not JSON was ignored")
            return
        if not isinstance(message, dict):
            return
        kind = message.get("kind")
        kernel = self.kernel
        if kind == "response":
            kernel.deliver(message)
        elif kind == "run":
            run = kernel.run_script(str(message.get("code", "")), str(message.get("module") or "main"),
                                    _str_dict(message.get("modules")), message.get("tag"))
            if run is None:
                self.outbox.post({"kind": "output", "run": 0, "stream": "system",
                                  "text": "A script is running already: stop it first.\n"})
        elif kind == "stop":
            kernel.stop_all()
        elif kind == "invoke":
            kernel.invoke(message.get("callId"), message.get("callableId"), message.get("args"))
        elif kind == "lsp":
            asyncio.create_task(self._language_service(message))

    async def _language_service(self, message: dict) -> None:
        params = message.get("params")
        params = params if isinstance(params, dict) else {}
        result = await asyncio.get_running_loop().run_in_executor(
            self._lsp_pool, self.kernel.language_service, str(message.get("method")), params
        )
        self.outbox.post({"kind": "lspResult", "id": message.get("id"), "result": result})


def encode(message: dict) -> str:
    """JSON text of a message; floats JSON has no token for travel as their JavaScript names,
    so the page's wire format sees them and can refuse them by name."""
    try:
        return json.dumps(message, allow_nan=False)
    except ValueError:
        return json.dumps(_finite(message), allow_nan=False)


def _finite(value):
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _str_dict(value) -> dict[str, str]:
    if not isinstance(value, dict):
        return {}
    return {k: v for k, v in value.items() if isinstance(k, str) and isinstance(v, str)}


async def serve(port: int, announce) -> None:
    """Runs until cancelled; `announce` is handed the URL once the port is bound."""
    playground = Playground(port)
    await playground.start()
    announce(playground.url)
    try:
        await asyncio.Event().wait()
    finally:
        await playground.stop()
