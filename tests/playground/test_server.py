"""The kernel stand-in over its socket, driven by a Python page: who may connect, scripts and
their output, tracebacks, stopping, a page that goes away, callbacks and the editor's services."""

import asyncio
import textwrap
import urllib.request

import pytest

from playground_support import aiohttp, open_page

from playground.server import encode


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 120))


def script(text):
    return textwrap.dedent(text).lstrip()


# -- who may connect ---------------------------------------------------------------------------

def test_only_the_printed_token_from_the_own_origin_opens_the_socket(server):
    async def status(url, **headers):
        async with aiohttp.ClientSession() as session:
            try:
                async with session.ws_connect(url, headers=headers):
                    return 101
            except aiohttp.WSServerHandshakeError as exc:
                return exc.status

    async def check():
        good = server.ws_url()
        assert await status(good, Origin=server.origin) == 101
        assert await status(server.ws_url("x" + server.token), Origin=server.origin) == 403
        assert await status(good.split("?")[0], Origin=server.origin) == 403
        assert await status(good, Origin="http://evil.example") == 403
        assert await status(good, Origin=f"http://localhost:{server.port}") == 403
        assert await status(good) == 403  # no Origin: not a page of ours

    run(check())


def test_the_page_is_served_only_under_its_own_host_name(server):
    with urllib.request.urlopen(server.url, timeout=30) as response:
        assert b'id="run"' in response.read()
    request = urllib.request.Request(server.origin + "/", headers={"Host": "evil.example"})
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(request, timeout=30)
    assert refused.value.code == 403


# -- scripts -----------------------------------------------------------------------------------

def test_a_script_writes_the_workbook_and_its_output_streams_to_the_page(server):
    async def check():
        page = await open_page(server)
        try:
            state, output = await page.run(script("""
                import helper
                sheet = Excel.workbook.worksheets.add("Data")
                sheet.getRange("A1:B2").values = [[1, "two"], [3.5, None]]
                print("wrote", sheet.getRange("A1:B2").address)
                print(helper.twice(21), GetSetting("locale"))
            """), modules={"helper": "def twice(x):\n    return 2 * x\n"})
            assert (state, output) == ("done", "wrote Data!A1:B2\n42 en-US\n")
            sheet = page.handler.workbook.sheet("Data")
            assert [sheet.value(r, c) for r, c in ((1, 1), (1, 2), (2, 1))] == [1, "two", 3.5]
        finally:
            await page.close()

    run(check())


def test_a_raising_script_shows_its_traceback_without_the_kernels_frames(server):
    async def check():
        page = await open_page(server)
        try:
            state, output = await page.run(script("""
                import helper
                def outer():
                    helper.fail(0)
                outer()
            """), modules={"helper": "def fail(n):\n    return 1 / n\n"})
            assert state == "error"
            assert output.startswith("Traceback (most recent call last):\n")
            assert 'File "main.py", line 3, in outer\n    helper.fail(0)\n' in output
            assert 'File "helper.py", line 2, in fail\n    return 1 / n\n' in output
            assert output.endswith("ZeroDivisionError: division by zero\n")
            assert "playground" not in output and "<frozen" not in output
            # A syntax error is reported the same way, and the kernel stays usable.
            state, output = await page.run("x = (\n")
            assert state == "error" and "SyntaxError" in output and 'File "main.py"' in output
            assert await page.run("print('still here')") == ("done", "still here\n")
        finally:
            await page.close()

    run(check())


def test_stop_interrupts_a_runaway_loop_and_a_request_waiting_for_its_answer(server):
    async def check():
        page = await open_page(server)
        try:
            run_id = await page.start("n = 0\nwhile True:\n    n += 1\n")
            await asyncio.sleep(0.5)
            await page.send(kind="stop")
            assert await page.finished(run_id, timeout=15) == ("stopped", "")

            # The page never answers: the stop fails the request the script waits in, long
            # before its time-out, and ends the script.
            page.answering = False
            run_id = await page.start("Excel.workbook\nprint('not reached')\n")
            await page.wait_for(lambda m: m.get("kind") == "request")
            await page.send(kind="stop")
            assert await page.finished(run_id, timeout=15) == ("stopped", "")
            page.answering = True
            assert await page.run("print(Excel.workbook is not None)") == ("done", "True\n")
        finally:
            await page.close()

    run(check())


def test_a_page_that_goes_away_fails_the_pending_requests_and_the_next_page_hears_it(server):
    async def check():
        first = await open_page(server)
        first.answering = False
        run_id = await first.start("Excel.workbook.worksheets\n")
        await first.wait_for(lambda m: m.get("kind") == "request")
        await first.close()
        second = await open_page(server)
        try:
            state, output = await second.finished(run_id, timeout=15)
            assert state == "error"
            assert output.endswith("Error: The playground page went away before answering\n")
            assert await second.run("print(Excel.workbook.worksheets.getActiveWorksheet().name)") \
                == ("done", "Sheet1\n")
        finally:
            await second.close()

    run(check())


def test_a_page_may_run_a_script_the_moment_it_connects(server):
    async def check():
        for _ in range(10):
            page = await open_page(server)
            try:
                assert await page.run("print(Excel.workbook is not None)") == ("done", "True\n")
            finally:
                await page.close()

    run(check())


def test_a_second_page_takes_over_and_the_first_is_told_not_to_come_back(server):
    async def check():
        first = await open_page(server)
        second = await open_page(server)
        try:
            await asyncio.wait_for(first._reader, 15)
            assert first.close_code == 4001
            assert await second.run("print('second')") == ("done", "second\n")
        finally:
            await first.close()
            await second.close()

    run(check())


# -- callbacks ---------------------------------------------------------------------------------

def test_the_page_invokes_a_registered_callback_on_a_worker(server):
    async def check():
        page = await open_page(server)
        try:
            state, _ = await page.run(script("""
                import threading
                sheet = Excel.workbook.worksheets.getActiveWorksheet()
                def changed(event):
                    print("changed", event["address"], threading.current_thread().name)
                    return event["address"].lower()
                sheet.onChanged.add(changed)
            """))
            assert state == "done"
            (callable_id,) = page.handler.callables_seen
            call = await page.invoke(callable_id, [page.handler.encode({"address": "B2"})])
            answer = await page.wait_for(lambda m: m.get("kind") == "invokeResult" and m["callId"] == call)
            assert answer["ok"] and answer["result"] == {"type": "String", "value": "b2", "isSpec": False}
            assert "changed B2 kernel-worker-" in page.output()

            call = await page.invoke("pyfunc_00000000_99", [])
            answer = await page.wait_for(lambda m: m.get("kind") == "invokeResult" and m["callId"] == call)
            assert not answer["ok"]
            assert answer["error"]["message"] == \
                "LookupError: No Python callable is registered as 'pyfunc_00000000_99'"
        finally:
            await page.close()

    run(check())


# -- the editor's language services ------------------------------------------------------------

def test_language_services_answer_in_the_bridges_shapes(server):
    async def check():
        page = await open_page(server)
        try:
            answer = await page.lsp("completions", code="import helper\nhelper.tw", line=2, column=9,
                                    path="main", modules={"helper": "def twice(x):\n    return x\n"})
            assert answer["error"] is None
            assert [c["label"] for c in answer["completions"]] == ["twice"]
            answer = await page.lsp("hover", code="import os\nos.getcwd()", line=2, column=4)
            assert answer["contents"]["value"].startswith("```python\n(function) getcwd")
            answer = await page.lsp("signatureHelp", code="divmod(1, ", line=1, column=10)
            assert answer["activeParameter"] == 1
            answer = await page.lsp("diagnostics", code="import os\n", module_name="main")
            assert [(d["message"], d["severity"]) for d in answer["diagnostics"]] == \
                [("'os' imported but unused", 4)]
            assert (await page.lsp("nothing"))["error"] == "Unknown language service 'nothing'"
            answer = await page.lsp("completions", code=None, line=1, column=0)
            assert answer["error"].startswith("TypeError")
        finally:
            await page.close()

    run(check())


# -- what JSON cannot carry --------------------------------------------------------------------

def test_values_json_cannot_carry_are_named_or_refused_never_lost(server):
    assert encode({"value": [float("inf"), float("-inf"), float("nan"), 1.5]}) == \
        '{"value": ["Infinity", "-Infinity", "NaN", 1.5]}'

    async def check():
        page = await open_page(server)
        try:
            state, output = await page.run(script("""
                try:
                    Excel.workbook.name = {(1, 2): "tuple key"}
                except RuntimeError as exc:
                    print(exc)
                print("after")
            """))
            assert state == "done", output
            assert output.startswith("The request cannot be sent as JSON: keys must be str")
            assert output.endswith("after\n")
        finally:
            await page.close()

    run(check())
