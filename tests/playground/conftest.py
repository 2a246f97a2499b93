"""Each playground test starts and ends with fresh messaging, as the kernel's suites expect;
the playground server runs once per test module that asks for it."""
import gc

import pytest

from quorvel_master.python_server.quorvel import proxwire as pw


@pytest.fixture(autouse=True)
def fresh_messaging():
    # Proxies of an earlier session release their IDs when collected; with no send handler
    # installed yet those releases go nowhere instead of into the next session's objects.
    gc.collect()
    pw.messaging.set_send_handler(None)
    pw.messaging.reset()
    yield
    pw.messaging.set_send_handler(None)
    pw.messaging.reset()


@pytest.fixture(scope="module")
def server():
    from playground_support import start_server, stop_server

    server = start_server()
    yield server
    stop_server(server)
