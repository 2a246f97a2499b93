"""Fixtures shared by the proxwire tests: a clean messaging state around every test."""
import pytest

from quorvel_master.python_server.quorvel import proxwire as pw


@pytest.fixture(autouse=True)
def clean_messaging():
    """No handler, no waiter, no callable leaks from one test into the next."""
    pw.messaging.set_send_handler(None)
    yield
    pw.messaging.set_send_handler(None)
    pw.messaging.reset()
