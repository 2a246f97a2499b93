// The peer answering request envelopes as the Python side sends them: object IDs, reads,
// writes, calls, items, releases, transactions, events into Python, resets and refused values.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { AddinPeer } from "../static/addin/peer.js";
import { PyCallable, parseMessage, toWire } from "../static/addin/wire.js";

const tick = () => new Promise((resolve) => setImmediate(resolve));

/** Speaks to a peer the way the bridge does; answers decoded just enough to assert on. */
class Client {
  constructor(options = {}) {
    this.invoked = [];
    this.peer = new AddinPeer({ invokeCallable: async (id, args) => this.invoked.push([id, args]), ...options });
    this.n = 0;
  }

  send(request) {
    const response = this.peer.handle({ ...request, requestId: `r${++this.n}`, kind: "request" });
    assert.equal(response.requestId, `r${this.n}`);
    assert.equal(response.kind, "response");
    JSON.stringify(response); // every answer fits the JSON channel
    return response;
  }

  ok(request) {
    const response = this.send(request);
    assert.equal(response.ok, true, JSON.stringify(response));
    return value(response.result);
  }

  error(request) {
    const response = this.send(request);
    assert.equal(response.ok, false);
    assert.deepStrictEqual(Object.keys(response), ["requestId", "kind", "ok", "error"]);
    return response.error.message;
  }

  get(obj, name) {
    return this.ok(req("GET", obj, name));
  }

  set(obj, name, v) {
    return this.ok(req("SET", obj, name, { value: toWire(v) }));
  }

  call(obj, ...args) {
    return this.ok(req("CALL", obj, "__call__", { args: placed(...args) }));
  }

  method(obj, name, ...args) {
    const fn = this.get(obj, name);
    assert.equal(fn.type, "Function");
    return this.call(fn, ...args);
  }

  sheet(name = "Sheet1") {
    return this.method(this.get(this.get(1, "workbook"), "worksheets"), "getItem", name);
  }

  range(address, sheet = "Sheet1") {
    return this.method(this.sheet(sheet), "getRange", address);
  }
}

class Ref {
  constructor(wire) {
    this.type = wire.type;
    this.id = wire.value;
  }
}

function value(w) {
  if (w.isSpec) return new Ref(w);
  if (w.type === "Array") {
    assert.ok(Number.isInteger(w.id));
    return w.value.map(value);
  }
  if (w.type === "Dict") return Object.fromEntries(Object.entries(w.value).map(([k, v]) => [k, value(v)]));
  return w.value;
}

const idOf = (obj) => (obj instanceof Ref ? obj.id : obj);

function req(method, obj, name = "__call__", extra = {}) {
  return { method, name, ...extra, caller: idOf(obj) };
}

function placed(...values) {
  return values.map((v) => ({ arg_type: "PLACED", value: v instanceof Ref ? { type: v.type, value: v.id, isSpec: true } : toWire(v) }));
}

describe("objects and IDs", () => {
  test("one new ID per object answered, from 100; fixed IDs answer at once", () => {
    const c = new Client();
    const book = c.get(1, "workbook");
    assert.deepStrictEqual([book.type, book.id], ["Workbook", 100]);
    assert.equal(c.get(1, "workbook").id, 101);
    assert.equal(c.get(0, "workbook").id, 102);
    const sheets = c.get(book, "worksheets");
    assert.equal(sheets.type, "WorksheetCollection");
    assert.equal(c.get(sheets, "count"), 1);
    assert.equal(c.peer.liveObjects(), 4);
    assert.equal(c.call(2, "locale"), "en-US");
    assert.equal(c.call(2, "missing"), null);
    assert.equal(new Client({ firstObjectId: 5000 }).get(1, "workbook").id, 5000);
  });

  test("DEL releases arrays, rows and objects; fixed objects stay; unknown IDs are no error", () => {
    const c = new Client();
    const rng = c.range("A1:B2");
    const before = c.peer.liveObjects();
    const values = c.send(req("GET", rng, "values")).result;
    const ids = [values.id, ...values.value.map((row) => row.id)];
    assert.equal(new Set(ids).size, 3);
    assert.equal(c.peer.liveObjects(), before + 3);
    assert.equal(c.get(values.id, "length"), 2);
    for (const id of ids) c.ok(req("DEL", id, "__del__"));
    assert.equal(c.peer.liveObjects(), before);
    assert.match(c.error(req("GET", values.id, "length")), /Unknown object id \d+/);
    for (let id = 0; id < 6; id++) c.ok(req("DEL", id, "__del__"));
    c.ok(req("DEL", 12345, "__del__"));
    assert.equal(c.call(2, "locale"), "en-US");
    assert.equal(c.method(5, "commit"), null);
  });

  test("error answers name what went wrong, and nothing makes handle throw", () => {
    const c = new Client();
    const book = c.get(1, "workbook");
    assert.match(c.error(req("GET", book, "nope")), /Workbook has no property or method named 'nope'/);
    assert.match(c.error(req("GET", book, "constructor")), /no property or method named 'constructor'/);
    assert.match(c.error(req("SET", book, "nope", { value: toWire(1) })), /has no property named 'nope'/);
    assert.match(c.error(req("SET", book, "name", { value: toWire("x") })), /read-only/);
    assert.match(c.error(req("SET", c.sheet(), "getRange", { value: toWire("x") })), /read-only/);
    assert.match(c.error(req("CALL", book, "__call__", { args: [] })), /Workbook is not a function/);
    assert.match(c.error(req("GET", 999, "x")), /Unknown object id 999/);
    assert.match(c.error(req("POKE", 1, "x")), /Unknown request method: "POKE"/);
    assert.match(c.error(req("GETITEM", book, "0")), /does not support indexing/);
    assert.match(c.error(req("CALL", 2, "__call__", { args: "x" })), /needs an argument list/);
    assert.match(c.error(req("SET", c.range("A1"), "values", { value: 5 })), /wire value must be an object/);
    for (const junk of [null, 5, "GET", [], {}, { method: "GET", caller: 1, name: "workbook", value: undefined, requestId: 7 }]) {
      const response = c.peer.handle(junk);
      assert.equal(response.kind, "response");
    }
    assert.deepStrictEqual(c.peer.handle(null), { requestId: null, kind: "response", ok: false, error: { message: "A request must be an object" } });
  });
});

describe("reads, writes, calls and items", () => {
  test("a range written and read back through requests", () => {
    const c = new Client();
    const rng = c.range("B2:C3");
    c.set(rng, "values", [[1, "two"], [3.5, true]]);
    assert.deepStrictEqual(c.get(rng, "values"), [[1, "two"], [3.5, true]]);
    assert.equal(c.get(rng, "address"), "Sheet1!B2:C3");
    assert.match(c.error(req("SET", rng, "values", { value: toWire([[1, 2, 3]]) })), /2 x 2 array/);
    c.set(c.get(c.get(rng, "format"), "fill"), "color", "navy");
    assert.equal(c.get(c.get(c.get(c.range("C3"), "format"), "fill"), "color"), "#000080");
  });

  test("arguments by position and by name, checked like a Python call", () => {
    const c = new Client();
    const sheet = c.sheet();
    c.set(c.range("B2"), "values", [[1]]);
    c.set(c.get(c.get(c.range("D4"), "format"), "fill"), "color", "red");
    const used = c.get(sheet, "getUsedRange");
    const named = (name, v) => ({ arg_type: "NAMED", name, value: toWire(v) });
    assert.equal(c.get(c.ok(req("CALL", used, "__call__", { args: [] })), "address"), "Sheet1!B2:D4");
    assert.equal(c.get(c.ok(req("CALL", used, "__call__", { args: [named("valuesOnly", true)] })), "address"), "Sheet1!B2");
    const getRange = c.get(sheet, "getRange");
    const wrong = (args) => c.error(req("CALL", getRange, "__call__", { args }));
    assert.match(wrong([]), /Wrong arguments for Worksheet.getRange: missing a required argument: 'address'/);
    assert.match(wrong(placed("A1", "B2")), /takes 1 positional arguments but 2 were given/);
    assert.match(wrong([named("nope", 1)]), /unexpected keyword argument 'nope'/);
    assert.match(wrong([...placed("A1"), named("address", "B1")]), /multiple values for argument 'address'/);
    assert.match(wrong(placed("A1:Q")), /Invalid range address/);
    assert.equal(c.get(c.ok(req("CALL", getRange, "__call__", { args: [named("address", "C3")] })), "address"), "Sheet1!C3");
  });

  test("items of the worksheet collection; union and intersection of range references", () => {
    const c = new Client();
    const sheets = c.get(c.get(1, "workbook"), "worksheets");
    c.method(sheets, "add", "Data");
    assert.equal(c.get(c.ok(req("GETITEM", sheets, "-1")), "name"), "Data");
    assert.deepStrictEqual(c.ok(req("GETITEM", sheets, "0:2:")).map((s) => c.get(s, "name")), ["Sheet1", "Data"]);
    const [a, b] = [c.range("A1:B2"), c.range("B2:C3")];
    assert.equal(c.get(c.call(3, a, b), "address"), "Sheet1!A1:B2,Sheet1!B2:C3");
    assert.equal(c.get(c.call(4, a, b), "address"), "Sheet1!B2");
  });
});

describe("values the workbook cannot hold", () => {
  test("are error answers naming the value, and nothing is written", () => {
    const c = new Client();
    const rng = c.range("A1:B1");
    const wireText = (payload) => parseMessage(`{"type": "Array", "value": [{"type": "Array", "value": [{"type": "Int", "value": 1, "isSpec": false}, ${payload}], "isSpec": false}], "isSpec": false}`);
    const cases = [
      ['{"type": "Float", "value": Infinity, "isSpec": false}', /float inf/],
      ['{"type": "Float", "value": NaN, "isSpec": false}', /float nan/],
      ['{"type": "Int", "value": 18446744073709551616, "isSpec": false}', /int 18446744073709551616 exactly/],
    ];
    for (const [payload, message] of cases) {
      assert.match(c.error(req("SET", rng, "values", { value: wireText(payload) })), message);
    }
    assert.match(c.error(req("CALL", 2, "__call__", { args: [{ arg_type: "PLACED", value: parseMessage('{"type": "Float", "value": -Infinity}') }] })), /float -inf/);
    assert.deepStrictEqual(c.get(rng, "values"), [["", ""]]);
    assert.deepStrictEqual(c.peer.snapshot().cells, {});
  });
});

describe("transactions", () => {
  test("writes wait for the commit; a start drops a batch never committed", () => {
    const c = new Client();
    const rng = c.range("A1");
    c.method(5, "start", new Ref({ type: "RequestContext", value: 0 }), false);
    c.set(rng, "values", [[1]]);
    c.set(c.get(c.get(rng, "format"), "font"), "bold", true);
    assert.deepStrictEqual(c.get(rng, "values"), [[""]]);
    c.method(5, "commit");
    assert.deepStrictEqual(c.get(rng, "values"), [[1]]);
    assert.equal(c.get(c.get(c.get(rng, "format"), "font"), "bold"), true);
    c.method(5, "start", null, false);
    c.set(rng, "values", [["lost"]]);
    c.method(5, "start", null, false);
    c.set(c.range("B1"), "values", [["kept"]]);
    c.method(5, "commit");
    assert.deepStrictEqual(c.get(c.range("A1:B1"), "values"), [[1, "kept"]]);
  });

  test("a write is checked when queued; block-gets holds back data reads only", () => {
    const c = new Client();
    const rng = c.range("A1");
    c.method(5, "start", null, true);
    const fill = c.get(c.get(rng, "format"), "fill");
    assert.match(c.error(req("SET", fill, "color", { value: toWire("nope") })), /Invalid color/);
    assert.match(c.error(req("GET", rng, "values")), /held back until the open batch is committed/);
    c.set(fill, "color", "red");
    c.method(5, "commit");
    assert.equal(c.get(fill, "color"), "#FF0000");
  });

  test("a commit applies what it can and reports the first failure", () => {
    const c = new Client();
    const sheet = c.sheet();
    c.method(5, "start", null, false);
    c.set(sheet, "name", "Taken");
    c.set(c.range("A1"), "values", [["applied"]]);
    c.method(c.get(c.get(1, "workbook"), "worksheets"), "add", "taken");
    assert.match(c.error(req("CALL", c.get(5, "commit"), "__call__", { args: [] })), /Commit failed: .*already exists/);
    assert.deepStrictEqual(c.get(c.range("A1"), "values"), [["applied"]]);
  });
});

describe("events into Python", () => {
  test("an edit calls the registered callable with the event as a Dict, after the answer", async () => {
    const c = new Client();
    const sheet = c.sheet();
    const add = c.get(c.get(sheet, "onChanged"), "add");
    c.ok(req("CALL", add, "__call__", { args: [{ arg_type: "PLACED", value: toWire(new PyCallable("pyfunc_0123abcd_1")) }] }));
    c.set(c.range("B2:C2"), "values", [[1, 2]]);
    assert.deepStrictEqual(c.invoked, []);
    c.set(c.get(c.get(c.range("A1"), "format"), "fill"), "color", "red");
    await tick();
    assert.equal(c.invoked.length, 1);
    const [id, [event]] = c.invoked[0];
    assert.equal(id, "pyfunc_0123abcd_1");
    assert.deepStrictEqual(value(event), { type: "WorksheetChanged", changeType: "RangeEdited", worksheet: "Sheet1", address: "B2:C2" });
    assert.equal(c.get(event.id, "length"), 4, "the event dict is an object of its own");
    assert.match(c.error(req("CALL", add, "__call__", { args: placed(1) })), /must be a function/);
  });

  test("edits in a batch are heard at the commit; the grid's edits too; failures are kept", async () => {
    const failures = [];
    const peer = new AddinPeer({
      invokeCallable: (id, args) => (failures.push(id), Promise.reject(new Error("boom"))),
    });
    const c = new Client();
    c.peer = peer;
    c.method(c.get(c.sheet(), "onChanged"), "add", new PyCallable("pyfunc_x_2"));
    c.method(5, "start", null, false);
    c.set(c.range("A1"), "values", [[1]]);
    await tick();
    assert.deepStrictEqual(failures, []);
    c.method(5, "commit");
    peer.editCell("B5", "=A1*3");
    await tick();
    assert.deepStrictEqual(failures, ["pyfunc_x_2", "pyfunc_x_2"]);
    assert.deepStrictEqual(peer.callbackErrors.map((e) => [e.callableId, e.error.message]), [["pyfunc_x_2", "boom"], ["pyfunc_x_2", "boom"]]);
    assert.equal(peer.snapshot().cells.B5.value, 3);
  });
});

describe("reset and the grid", () => {
  test("reset forgets objects and Python handlers, keeps the data, and IDs keep growing", async () => {
    const c = new Client();
    const sheet = c.sheet();
    c.method(c.get(sheet, "onChanged"), "add", new PyCallable("pyfunc_old_1"));
    c.set(c.range("A1"), "values", [[7]]);
    await tick();
    assert.equal(c.invoked.length, 1);
    const highest = c.get(1, "workbook").id;
    c.method(5, "start", null, true);
    c.peer.reset();
    assert.equal(c.peer.liveObjects(), 0);
    assert.match(c.error(req("GET", sheet, "name")), /Unknown object id/);
    assert.ok(c.get(1, "workbook").id > highest);
    assert.deepStrictEqual(c.get(c.range("A1"), "values"), [[7]], "no batch survives the reset");
    c.set(c.range("A1"), "values", [[8]]);
    await tick();
    assert.equal(c.invoked.length, 1);
  });

  test("onChange runs once per run of writes; editCell reads the typed text", async () => {
    const c = new Client();
    let renders = 0;
    const stop = c.peer.onChange(() => renders++);
    c.set(c.range("A1"), "values", [[1]]);
    c.set(c.get(c.get(c.range("A1"), "format"), "font"), "bold", true);
    await tick();
    assert.equal(renders, 1);
    c.get(c.range("A1"), "values");
    await tick();
    assert.equal(renders, 1, "reads render nothing");
    for (const [text, v] of [["42", 42], [" -1.5e3 ", -1500], ["true", true], ["abc", "abc"], ["0x10", "0x10"], ["1e999", "1e999"], ["", undefined]]) {
      c.peer.editCell("C1", text);
      assert.deepStrictEqual(c.peer.snapshot().cells.C1?.value, v, text);
    }
    await tick();
    assert.equal(renders, 2);
    stop();
    c.peer.editCell("C1", "1");
    await tick();
    assert.equal(renders, 2);
    assert.deepStrictEqual(c.peer.snapshot().cells.A1, { value: 1, text: "1", fill: "#FFFFFF", fontColor: "#000000", bold: true, italic: false });
  });
});
