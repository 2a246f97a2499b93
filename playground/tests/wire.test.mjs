// The page's wire format: the cases shared with the Python side, then what only this side has
// (message parsing, dates past JavaScript's range, references through hooks).
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { describe, test } from "node:test";

import {
  PyCallable,
  WireDate,
  WireError,
  WireRef,
  fromWire,
  parseIsoDate,
  parseMessage,
  stringifyMessage,
  toWire,
} from "../static/addin/wire.js";

const CASES = parseMessage(readFileSync(new URL("./wire_cases.json", import.meta.url), "utf8")).cases;

// A case's value description as the JavaScript value it stands for.
function build(desc) {
  if (Array.isArray(desc)) return desc.map(build);
  if (desc === null || typeof desc !== "object") return desc;
  const keys = Object.keys(desc);
  if (keys.length === 1 && keys[0].startsWith("$")) {
    const arg = desc[keys[0]];
    switch (keys[0]) {
      case "$bytes":
        return Uint8Array.from(arg);
      case "$date":
        return new WireDate(arg);
      case "$callable":
        return new PyCallable(arg);
      case "$ref":
        return new WireRef(arg[0], arg[1]);
      default:
        throw new Error(`no JavaScript value for ${keys[0]}`);
    }
  }
  const out = {};
  for (const k of keys) Object.defineProperty(out, k, { value: build(desc[k]), enumerable: true, writable: true, configurable: true });
  return out;
}

function withoutIds(wire) {
  if (Array.isArray(wire)) return wire.map(withoutIds);
  if (wire === null || typeof wire !== "object") return wire;
  const out = {};
  for (const [k, v] of Object.entries(wire)) {
    if (k !== "id") Object.defineProperty(out, k, { value: withoutIds(v), enumerable: true, writable: true, configurable: true });
  }
  return out;
}

describe("shared wire cases", () => {
  for (const c of CASES) {
    const wire = c.wireText !== undefined ? parseMessage(c.wireText) : c.wire;
    const desc = "js" in c ? c.js : c.value;
    const ways = c.jsWays ?? c.ways ?? ["from", "to"];
    const error = desc !== null && typeof desc === "object" && "$error" in desc;
    if (ways.includes("from")) {
      test(`from wire: ${c.name}`, () => {
        if (error) {
          assert.throws(() => fromWire(wire), (e) => e instanceof WireError && e.message.includes(desc.$error));
        } else {
          assert.deepStrictEqual(fromWire(wire), build(desc));
        }
      });
    }
    if (ways.includes("to")) {
      test(`to wire: ${c.name}`, () => {
        assert.deepStrictEqual(toWire(build(desc)), withoutIds(wire));
      });
    }
  }
});

describe("values only JavaScript has", () => {
  test("numbers: one type, so integral ones go as Int; NaN is missing; infinity is refused", () => {
    assert.deepStrictEqual(toWire(2.0), { type: "Int", value: 2, isSpec: false });
    assert.deepStrictEqual(toWire(-0), { type: "Int", value: 0, isSpec: false });
    assert.deepStrictEqual(toWire(2 ** 60), { type: "Float", value: 2 ** 60, isSpec: false });
    assert.deepStrictEqual(toWire(NaN), { type: "Null", value: null, isSpec: false });
    assert.throws(() => toWire(-Infinity), /float -inf/);
    assert.deepStrictEqual(toWire(undefined), { type: "Null", value: null, isSpec: false });
    assert.deepStrictEqual(toWire(2n ** 64n).value, 2n ** 64n);
    assert.deepStrictEqual(toWire(12n), { type: "Int", value: 12, isSpec: false });
  });

  test("a Date goes as its UTC text; an invalid one and a function are refused", () => {
    assert.deepStrictEqual(toWire(new Date(Date.UTC(2024, 0, 2, 3, 4, 5))), {
      type: "Date",
      value: "2024-01-02T03:04:05.000Z",
      isSpec: false,
    });
    assert.throws(() => toWire(new Date(NaN)), WireError);
    assert.throws(() => toWire(() => 1), /JavaScript function/);
  });

  test("hooks hand out references and container IDs", () => {
    class Thing {}
    const thing = new Thing();
    let next = 100;
    const hooks = {
      reference: (v) => (v === thing ? { typeName: "Thing", id: 42 } : null),
      containerId: () => next++,
    };
    assert.deepStrictEqual(toWire([thing, { a: [] }], hooks), {
      type: "Array",
      value: [
        { type: "Thing", value: 42, isSpec: true },
        { type: "Dict", value: { a: { type: "Array", value: [], isSpec: false, id: 100 } }, isSpec: false, id: 101 },
      ],
      isSpec: false,
      id: 102,
    });
    assert.deepStrictEqual(toWire(new Thing()), { type: "String", value: "[object Object]", isSpec: false });
    const seen = [];
    const resolve = (id, typeName) => (seen.push([id, typeName]), thing);
    assert.equal(fromWire({ type: "Thing", value: 42, isSpec: true }, { resolve }), thing);
    assert.deepStrictEqual(seen, [[42, "Thing"]]);
    assert.throws(() => fromWire({ type: "Thing", value: "x", isSpec: true }, { resolve }), /Malformed Int/);
  });

  test("a wire value must be a plain object", () => {
    for (const bad of [null, 5, "Null", [], new Date()]) assert.throws(() => fromWire(bad), WireError);
  });
});

describe("dates", () => {
  test("the instant of expanded and fractional texts, as Date.parse reads the same text", () => {
    for (const text of [
      "+020000-01-01T00:00:00",
      "-002100-08-13T20:00:00",
      "-271821-04-20T00:00:00",
      "2024-02-29T10:00:00.123999+02:00",
      "1969-12-31T23:59:59.999999999999999999",
      "0001-01-01T00:00:00",
    ]) {
      const utc = /[+-]\d{2}:\d{2}$/.test(text) ? text.replace(/(\.\d{3})\d+/, "$1") : text.replace(/(\.\d{3})\d+$/, "$1") + "Z";
      assert.equal(new WireDate(text).epochMs, Date.parse(utc), text);
    }
    assert.equal(new WireDate("2024-01-02").toDate().toISOString(), "2024-01-02T00:00:00.000Z");
    assert.ok(Number.isNaN(new WireDate("+292277-01-09T04:00:54").toDate().getTime()));
  });

  test("fields, offsets and the texts that are no dates", () => {
    assert.deepStrictEqual(parseIsoDate("-002100-08-13T20"), {
      year: -2100, month: 8, day: 13, hour: 20, minute: 0, second: 0, fraction: "", offsetMinutes: null,
    });
    assert.equal(parseIsoDate("2024-01-02T03:04:05-05:30").offsetMinutes, -330);
    assert.equal(parseIsoDate("2024-01-02T03:04:05Z").offsetMinutes, 0);
    assert.equal(parseIsoDate("2000").month, 1);
    assert.equal(parseIsoDate("+12626367463885247-02-29"), null, "that year is no leap year");
    for (const bad of ["20000-01-01", "51144", "-000000-01-01", "-0000000-01-01", "2024-01-02T24:00:00", "2024-1-2", "2024-01-02T03:04:60", "2100-02-29", ""]) {
      assert.equal(parseIsoDate(bad), null, bad);
    }
    assert.equal(String(new WireDate("2024-01-02")), "2024-01-02");
    assert.equal(JSON.stringify({ d: new WireDate("2024-01-02") }), '{"d":"2024-01-02"}');
  });
});

describe("messages", () => {
  test("Python's json texts: non-finite floats and exact big integers", () => {
    const text = '{"requestId": "r1", "value": [NaN, Infinity, -Infinity, 18446744073709551616, -9007199254740993, 9007199254740991, 1.5e300, -0.5]}';
    const msg = parseMessage(text);
    assert.equal(msg.requestId, "r1");
    assert.ok(Number.isNaN(msg.value[0]));
    assert.deepStrictEqual(msg.value.slice(1), [Infinity, -Infinity, 2n ** 64n, -9007199254740993n, 9007199254740991, 1.5e300, -0.5]);
  });

  test("the exact parser reads what JSON.parse reads", () => {
    // The text "NaN" inside a string sends the whole document through the exact parser.
    const doc = {
      s: 'quote " backslash \\ tab \t unicode \u2603 \ud834\udd1e NaN Infinity',
      n: [0, -1, 1e-7, 3.25, -2.5e300, 9007199254740991],
      o: { "": null, nested: [[], {}, [true, false]], "\\\"": "key" },
    };
    for (const text of [JSON.stringify(doc), JSON.stringify(doc, null, 2)]) {
      assert.deepStrictEqual(parseMessage(text), JSON.parse(text));
    }
    assert.equal(Object.keys(parseMessage('{"__proto__": 1, "x": NaN}')).join(), "__proto__,x");
    for (const bad of ["{", '{"a" 1}', "[1,]", "NaNa", '"open', "01", "[1] 2", "{1: 2}", "-Inf"]) {
      assert.throws(() => parseMessage(bad + " NaN"), SyntaxError, bad);
    }
  });

  test("stringify writes BigInt values as digits", () => {
    const text = stringifyMessage({ a: 2n ** 64n, b: ["\u0000x", 1n], c: "ok" });
    assert.equal(text, '{"a":18446744073709551616,"b":["\\u0000x",1],"c":"ok"}');
    assert.deepStrictEqual(parseMessage(text).a, 2n ** 64n);
  });
});
