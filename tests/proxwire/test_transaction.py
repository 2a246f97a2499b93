"""OfficeJsTransaction: batch start and commit around a with block, exit outcomes, staleness."""
import pytest

from fake_addin import FakeAddin, fail, obj, ok, value, wait_for_releases
from quorvel_master.python_server.quorvel import proxwire as pw

START, COMMIT = 600, 601
STALE = "Excel Object used after messaging context was stopped"


def answer(env):
    if env["method"] == "GET" and env["caller"] == pw.UNIQUE_TRANSACTION_ID:
        return ok(obj({"start": START, "commit": COMMIT}[env["name"]], "Function"))
    return ok(value(None))


@pytest.fixture
def addin():
    a = FakeAddin(answer)
    pw.messaging.set_send_handler(a.handler)
    yield a
    a.stop()
    assert not a.listener_errors


def start(block_gets=False):
    return [{"method": "GET", "name": "start", "caller": 5},
            {"method": "CALL", "name": "__call__", "caller": START, "args": [
                {"arg_type": "PLACED", "value": value(pw.Context)},
                {"arg_type": "PLACED", "value": value(block_gets)}]}]


COMMITTED = [{"method": "GET", "name": "commit", "caller": 5},
             {"method": "CALL", "name": "__call__", "args": [], "caller": COMMIT}]
WRITE = {"method": "SET", "name": "values", "value": value(1), "caller": 9}


def write():
    pw.OfficeJsObject(9, "Range").values = 1


class TestShape:
    def test_attributes_and_repr(self, addin):
        t = pw.OfficeJsTransaction()
        assert list(vars(t).items()) == [
            ("_internal_id", 5), ("_internal_typeName", "Transaction"),
            ("_msg_guid", pw.messaging._guid), ("_typ", "officejs_transaction"),
            ("_rollback_at_error", False), ("_error_callback", None), ("_raiseError", True),
            ("_isInWith", False), ("_block_gets", False),
        ]
        assert repr(t) == "<OfficeJsTransaction id=5>" and addin.requests() == []
        t.anything = 1
        assert t.anything == 1 and addin.requests() == []

    def test_parameters_by_position_and_keyword(self):
        cb = print
        t = pw.OfficeJsTransaction(1, 0, cb, "yes")
        assert (t._rollback_at_error, t._raiseError, t._error_callback, t._block_gets) == (
            1, 0, cb, "yes")
        t = pw.OfficeJsTransaction(roolback_at_error=True, block_gets=True)
        assert (t._rollback_at_error, t._raiseError, t._block_gets) == (True, True, True)
        with pytest.raises(TypeError, match="unexpected keyword argument 'rollback_at_error'"):
            pw.OfficeJsTransaction(rollback_at_error=True)

    def test_id_read_at_construction(self, monkeypatch):
        monkeypatch.setattr(pw, "UNIQUE_TRANSACTION_ID", 77)
        assert repr(pw.OfficeJsTransaction()) == "<OfficeJsTransaction id=77>"


class TestWithBlock:
    def test_clean_block(self, addin):
        with pw.OfficeJsTransaction() as t:
            assert t._isInWith is True
            write()
        assert t._isInWith is False
        assert addin.requests() == start() + [WRITE] + COMMITTED

    def test_block_gets_flag_travels_to_start(self, addin):
        with pw.OfficeJsTransaction(block_gets=True):
            pass
        assert addin.requests() == start(True) + COMMITTED

    @pytest.mark.parametrize("rollback, raise_error, committed, propagates", [
        (False, True, True, True), (False, False, True, False),
        (True, True, False, True), (True, False, False, False),
    ])
    def test_outcome_of_an_error(self, addin, rollback, raise_error, committed, propagates):
        heard = []

        def callback(*args):
            heard.append((args, len(addin.requests())))

        boom = ValueError("in the block")
        outcome = "suppressed"
        try:
            with pw.OfficeJsTransaction(rollback, raise_error, callback):
                write()
                raise boom
        except ValueError as e:
            assert e is boom
            outcome = "propagated"
        assert outcome == ("propagated" if propagates else "suppressed")
        expected = start() + [WRITE] + (COMMITTED if committed else [])
        assert addin.requests() == expected
        (args, seen), = heard
        assert args[:2] == (ValueError, boom) and args[2] is boom.__traceback__
        assert seen == len(expected)  # the callback runs after the commit

    def test_explicit_commit_opens_next_batch_only_inside(self, addin):
        t = pw.OfficeJsTransaction()
        with t:
            write()
            t.commit()
            write()
        assert addin.requests() == start() + [WRITE] + COMMITTED + start() + [WRITE] + COMMITTED
        addin.envelopes.clear()
        t.commit()
        assert addin.requests() == COMMITTED
        addin.envelopes.clear()
        t._start()
        assert addin.requests() == start()

    def test_failed_commit_replaces_the_block_error(self, addin):
        def refuse_commit(env):
            if env["method"] == "GET" and env["name"] == "commit":
                return fail("commit refused")
            return answer(env)

        addin.answer = refuse_commit
        with pytest.raises(RuntimeError, match="^commit refused$") as info:
            with pw.OfficeJsTransaction(raiseError=False):
                raise KeyError("block")
        assert isinstance(info.value.__context__, KeyError)

    def test_failed_start_skips_the_block(self, addin):
        addin.answer = lambda env: fail("no transactions here")
        t = pw.OfficeJsTransaction()
        ran = []
        with pytest.raises(AttributeError, match="^no transactions here$"):
            with t:
                ran.append(1)
        assert ran == [] and t._isInWith is True

    def test_non_function_answer_is_not_callable(self, addin):
        addin.answer = lambda env: ok(obj(700, "Range"))
        with pytest.raises(TypeError, match="^Only Function-typed SpecialObjects are callable$"):
            pw.OfficeJsTransaction()._start()


def test_stale_transaction_refuses(addin):
    t = pw.OfficeJsTransaction()
    pw.messaging.reset()
    for op in (t._start, t.commit, t.__enter__):
        with pytest.raises(RuntimeError, match=f"^{STALE}$"):
            op()
    with pytest.raises(RuntimeError, match=f"^{STALE}$"):
        t.__exit__(None, None, None)
    assert addin.requests() == [] and t._isInWith is False


def test_release_sends_del_for_the_shared_id(addin):
    pw.OfficeJsTransaction()
    wait_for_releases(addin.envelopes, 5)
    assert {"method": "DEL", "name": "__del__", "caller": 5} in addin.requests(include_del=True)
    assert pw.UNIQUE_TRANSACTION_ID == 5
