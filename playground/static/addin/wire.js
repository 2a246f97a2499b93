// The add-in's side of the wire format: tagged values to and from JavaScript values.
// Plain ES module with no dependencies; the page imports it as it stands and node tests it.

const MAX_EXACT = 2 ** 53; // integers from here on are no longer exact as JavaScript numbers
const INT_TEXT = /^\s*[+-]?\d+(?:_\d+)*\s*$/;
const FLOAT_TEXT = /^\s*[+-]?(?:\d+(?:_\d+)*(?:\.(?:\d+(?:_\d+)*)?)?|\.\d+(?:_\d+)*)(?:[eE][+-]?\d+)?\s*$/;
const NON_FINITE_TEXT = /^\s*[+-]?(?:nan|inf|infinity)\s*$/i;
const BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;
// Year (four digits, or a sign and six or more), month, day, hour, minute, second, fraction,
// offset.
const ISO = new RegExp(
  String.raw`^([+-]\d{6,}|\d{4})(?:-(\d{2})(?:-(\d{2})(?:[T ](\d{2})(?::(\d{2})(?::(\d{2})(?:[.,](\d+))?)?)?` +
    String.raw`(Z|[+-]\d{2}(?::?\d{2}(?::\d{2}(?:\.\d+)?)?)?)?)?)?)?$`,
);

/** A value the wire cannot carry, or a wire value this side cannot represent. */
export class WireError extends Error {
  constructor(message) {
    super(message);
    this.name = "WireError";
  }
}

/** A Python callable handed over by the kernel, known here only by its ID. */
export class PyCallable {
  constructor(id) {
    this.id = String(id);
  }
}

/** A reference to an object of the other side that no resolver turned into an object. */
export class WireRef {
  constructor(typeName, id) {
    this.typeName = typeName;
    this.id = id;
  }
}

/**
 * A date or date-time exactly as the wire wrote it. JavaScript's Date holds milliseconds and
 * about 275 000 years; the text keeps every digit and every year, the fields serve arithmetic.
 */
export class WireDate {
  constructor(iso) {
    const fields = parseIsoDate(iso);
    if (fields === null) throw new WireError(`Malformed ISO 8601 date: ${JSON.stringify(iso)}`);
    this.iso = iso;
    Object.assign(this, fields);
  }

  static fromDate(date) {
    if (!(date instanceof Date) || Number.isNaN(date.getTime())) {
      throw new WireError("Cannot send an invalid Date");
    }
    return new WireDate(date.toISOString());
  }

  /** Milliseconds since 1970-01-01 UTC (a naive time read as UTC), rounded down. */
  get epochMs() {
    const days = daysFromCivil(this.year, this.month, this.day);
    const ms = Number((this.fraction + "000").slice(0, 3));
    const seconds = ((days * 24 + this.hour) * 60 + this.minute - (this.offsetMinutes ?? 0)) * 60 + this.second;
    return seconds * 1000 + ms;
  }

  /** The instant as a Date: an invalid Date beyond its range, truncated to milliseconds. */
  toDate() {
    return new Date(this.epochMs);
  }

  toString() {
    return this.iso;
  }

  toJSON() {
    return this.iso;
  }
}

// Days from 1970-01-01 to a day of the proleptic Gregorian calendar, for any year.
function daysFromCivil(year, month, day) {
  const y = month <= 2 ? year - 1 : year;
  const era = Math.floor(y / 400);
  const yoe = y - era * 400;
  const doy = Math.floor((153 * (month + (month > 2 ? -3 : 9)) + 2) / 5) + day - 1;
  const doe = yoe * 365 + Math.floor(yoe / 4) - Math.floor(yoe / 100) + doy;
  return era * 146097 + doe - 719468;
}

function isLeap(year) {
  return (year % 4 === 0 && year % 100 !== 0) || year % 400 === 0;
}

/**
 * The fields of ISO 8601 text as Python and numpy write it (years in four digits or, outside
 * 1 to 9999, a sign and six or more), or null when the text is no valid date. A year beyond
 * 2**53 is inexact in the fields; the text keeps it.
 */
export function parseIsoDate(text) {
  if (typeof text !== "string") return null;
  const m = ISO.exec(text);
  if (m === null || /^-0+$/.test(m[1])) return null;
  const [year, month, day, hour, minute, second] = [1, 2, 3, 4, 5, 6].map((i, k) =>
    m[i] === undefined ? (k === 1 || k === 2 ? 1 : 0) : Number(m[i]),
  );
  const monthDays = [31, isLeap(Number(BigInt(m[1]) % 400n)) ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31];
  if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1]) return null;
  if (hour > 23 || minute > 59 || second > 59) return null;
  let offsetMinutes = null;
  if (m[8] !== undefined) {
    const o = /^([+-])(\d{2}):?(\d{2})?/.exec(m[8]);
    offsetMinutes = o === null ? 0 : (o[1] === "-" ? -1 : 1) * (Number(o[2]) * 60 + Number(o[3] ?? 0));
    if (o !== null && (Number(o[2]) > 23 || Number(o[3] ?? 0) > 59)) return null;
  }
  return { year, month, day, hour, minute, second, fraction: m[7] ?? "", offsetMinutes };
}

// ---------------------------------------------------------------------------------------------
// Bytes

function encodeBase64(bytes) {
  let binary = "";
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

function decodeBase64(text) {
  const clean = text.replace(/\s+/g, "");
  if (!BASE64.test(clean)) throw new WireError(`Malformed Bytes value: ${JSON.stringify(text)}`);
  const binary = atob(clean);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// Numbers, with Python's conversions and the limits of a JavaScript number

function floatText(x) {
  if (Number.isNaN(x)) return "nan";
  return x > 0 ? "inf" : "-inf";
}

function exactInt(big) {
  if (big >= MAX_EXACT || big <= -MAX_EXACT) {
    throw new WireError(`Cannot represent the int ${big} exactly: beyond 2**53 in magnitude`);
  }
  return Number(big);
}

function toInt(v) {
  if (typeof v === "bigint") return exactInt(v);
  if (typeof v === "boolean") return v ? 1 : 0;
  if (typeof v === "number") {
    if (!Number.isFinite(v)) throw new WireError(`Cannot represent the int ${floatText(v)}`);
    return exactInt(BigInt(Math.trunc(v)));
  }
  if (typeof v === "string" && INT_TEXT.test(v)) return exactInt(BigInt(v.trim().replace(/_/g, "")));
  throw new WireError(`Malformed Int value: ${describe(v)}`);
}

function toFloat(v) {
  let x;
  if (typeof v === "number") x = v;
  else if (typeof v === "bigint" || typeof v === "boolean") x = Number(v);
  else if (typeof v === "string" && NON_FINITE_TEXT.test(v)) x = /nan/i.test(v) ? NaN : v.includes("-") ? -Infinity : Infinity;
  else if (typeof v === "string" && FLOAT_TEXT.test(v)) x = Number(v.trim().replace(/_/g, ""));
  else throw new WireError(`Malformed Float value: ${describe(v)}`);
  if (!Number.isFinite(x)) {
    throw new WireError(`Cannot represent the float ${floatText(x)}: a cell holds finite numbers only`);
  }
  return x;
}

// Python's truth of a JSON payload: empty texts, arrays and objects are false.
function truth(v) {
  if (Array.isArray(v) || typeof v === "string") return v.length > 0;
  if (v !== null && typeof v === "object") return Object.keys(v).length > 0;
  return Boolean(v) && v !== 0n;
}

// Python's str() of a JSON payload, for the "String" tag and unknown tags.
function pyStr(v) {
  if (v === null || v === undefined) return "None";
  if (v === true) return "True";
  if (v === false) return "False";
  if (typeof v === "number" && !Number.isFinite(v)) return floatText(v);
  return String(v);
}

function describe(v) {
  if (typeof v === "bigint") return String(v);
  if (typeof v === "number" && !Number.isFinite(v)) return floatText(v);
  try {
    return JSON.stringify(v) ?? String(v);
  } catch {
    return String(v);
  }
}

function isPlainObject(v) {
  if (v === null || typeof v !== "object") return false;
  const proto = Object.getPrototypeOf(v);
  return proto === Object.prototype || proto === null;
}

function putKey(target, key, value) {
  // defineProperty, so that a key named __proto__ stays a key
  Object.defineProperty(target, key, { value, enumerable: true, writable: true, configurable: true });
}

// ---------------------------------------------------------------------------------------------
// The two conversions

function plain(type, value) {
  return { type, value, isSpec: false };
}

/**
 * The wire value of a JavaScript value. `hooks.reference(value)` returns {typeName, id} for an
 * object handed over by reference (or null); `hooks.containerId(value)` returns the ID an array
 * or dict answer carries (or undefined for none).
 */
export function toWire(value, hooks = {}) {
  if (value === null || value === undefined) return plain("Null", null);
  switch (typeof value) {
    case "boolean":
      return plain("Bool", value);
    case "number":
      if (Number.isSafeInteger(value)) return plain("Int", value === 0 ? 0 : value);
      if (Number.isNaN(value)) return plain("Null", null); // no cell holds NaN: it is missing
      if (!Number.isFinite(value)) throw new WireError(`Cannot send the float ${floatText(value)}`);
      return plain("Float", value);
    case "bigint":
      return plain("Int", value > -MAX_EXACT && value < MAX_EXACT ? Number(value) : value);
    case "string":
      return plain("String", value);
    case "function":
      throw new WireError(`Cannot send a JavaScript function (${value.name || "anonymous"})`);
    default:
      break;
  }
  if (value instanceof WireDate) return plain("Date", value.iso);
  if (value instanceof Date) return plain("Date", WireDate.fromDate(value).iso);
  if (value instanceof Uint8Array) return plain("Bytes", encodeBase64(value));
  if (value instanceof ArrayBuffer) return plain("Bytes", encodeBase64(new Uint8Array(value)));
  if (value instanceof PyCallable) return { type: "Python_Function", value: value.id, isSpec: true };
  if (value instanceof WireRef) return { type: value.typeName, value: value.id, isSpec: true };
  if (Array.isArray(value)) {
    return container(plain("Array", value.map((v) => toWire(v, hooks))), value, hooks);
  }
  const ref = hooks.reference ? hooks.reference(value) : null;
  if (ref) return { type: ref.typeName, value: ref.id, isSpec: true };
  if (isPlainObject(value)) {
    const payload = {};
    for (const [k, v] of Object.entries(value)) putKey(payload, k, toWire(v, hooks));
    return container(plain("Dict", payload), value, hooks);
  }
  return plain("String", String(value));
}

function container(wire, value, hooks) {
  const id = hooks.containerId ? hooks.containerId(value) : undefined;
  if (id !== undefined) wire.id = id;
  return wire;
}

/**
 * The JavaScript value of a wire value. `hooks.resolve(id, typeName)` turns a reference into
 * its object (and throws for an unknown one); without it a reference becomes a WireRef.
 * Throws WireError for a malformed value and for one JavaScript cannot represent.
 */
export function fromWire(wire, hooks = {}) {
  if (!isPlainObject(wire)) throw new WireError(`A wire value must be an object, got ${describe(wire)}`);
  const { type: t, value: v, isSpec: spec } = wire;
  switch (t) {
    case "Null":
      return null;
    case "Bool":
      return truth(v);
    case "Int":
      return toInt(v);
    case "Float":
      return toFloat(v);
    case "String":
      return pyStr(v);
    case "Date":
      return parseIsoDate(v) === null ? v : new WireDate(v);
    case "Bytes":
      if (v === null || v === undefined || v === "") return new Uint8Array(0);
      if (typeof v !== "string") throw new WireError(`Malformed Bytes value: ${describe(v)}`);
      return decodeBase64(v);
    case "Array":
      if (v === null || v === undefined) return [];
      if (!Array.isArray(v)) throw new WireError(`Malformed Array value: ${describe(v)}`);
      return v.map((x) => fromWire(x, hooks));
    case "Dict": {
      if (v === null || v === undefined) return {};
      if (!isPlainObject(v)) throw new WireError(`Malformed Dict value: ${describe(v)}`);
      const out = {};
      for (const [k, x] of Object.entries(v)) putKey(out, k, fromWire(x, hooks));
      return out;
    }
    default:
      break;
  }
  if (truth(spec)) {
    if (t === "Python_Function") return new PyCallable(v);
    const id = toInt(v);
    return hooks.resolve ? hooks.resolve(id, t) : new WireRef(t, id);
  }
  return pyStr(v);
}

// ---------------------------------------------------------------------------------------------
// Messages as the kernel's JSON writes them

const NEEDS_EXACT_PARSE = /NaN|Infinity|\d{16}/;

/**
 * JSON text to a message, also with the tokens NaN, Infinity and -Infinity that Python's json
 * writes for such floats, and with integers beyond 2**53 kept exact as BigInt, so that a value
 * JavaScript cannot hold is refused by name instead of being silently rounded.
 */
export function parseMessage(text) {
  if (!NEEDS_EXACT_PARSE.test(text)) return JSON.parse(text);
  return new ExactParser(text).document();
}

/** A message as JSON text; BigInt values are written as their digits. */
export function stringifyMessage(message) {
  const bigs = [];
  const nonce = Math.random().toString(36).slice(2);
  const text = JSON.stringify(message, (_, v) => {
    if (typeof v !== "bigint") return v;
    bigs.push(String(v));
    return `\u0000${nonce}:${bigs.length - 1}`;
  });
  if (bigs.length === 0) return text;
  // Each marker stands as a whole JSON string, its NUL escaped, its nonce fresh per message.
  const marker = new RegExp(`"\\\\u0000${nonce}:(\\d+)"`, "g");
  return text.replace(marker, (_, i) => bigs[Number(i)]);
}

const NUMBER = /-?(?:0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?/y;

class ExactParser {
  constructor(text) {
    this.text = text;
    this.pos = 0;
  }

  fail(what) {
    throw new SyntaxError(`${what} in JSON at position ${this.pos}`);
  }

  skip() {
    const ws = /[ \t\n\r]*/y;
    ws.lastIndex = this.pos;
    ws.exec(this.text);
    this.pos = ws.lastIndex;
  }

  document() {
    const value = this.value();
    this.skip();
    if (this.pos !== this.text.length) this.fail("Unexpected text");
    return value;
  }

  literal(word, value) {
    if (!this.text.startsWith(word, this.pos)) this.fail("Unexpected token");
    this.pos += word.length;
    return value;
  }

  value() {
    this.skip();
    const ch = this.text[this.pos];
    if (ch === "{") return this.object();
    if (ch === "[") return this.array();
    if (ch === '"') return this.string();
    if (ch === "t") return this.literal("true", true);
    if (ch === "f") return this.literal("false", false);
    if (ch === "n") return this.literal("null", null);
    if (ch === "N") return this.literal("NaN", NaN);
    if (ch === "I") return this.literal("Infinity", Infinity);
    if (ch === "-" && this.text[this.pos + 1] === "I") return this.literal("-Infinity", -Infinity);
    return this.number();
  }

  number() {
    NUMBER.lastIndex = this.pos;
    const m = NUMBER.exec(this.text);
    if (m === null) this.fail("Unexpected token");
    this.pos = NUMBER.lastIndex;
    if (m[1] === undefined && m[2] === undefined) {
      const x = Number(m[0]);
      return Number.isSafeInteger(x) ? x : BigInt(m[0]);
    }
    return Number(m[0]);
  }

  string() {
    const start = this.pos;
    let i = start + 1;
    for (;;) {
      const ch = this.text[i];
      if (ch === undefined) this.fail("Unterminated string");
      if (ch === "\\") i += 2;
      else if (ch === '"') break;
      else i += 1;
    }
    this.pos = i + 1;
    return JSON.parse(this.text.slice(start, i + 1));
  }

  array() {
    this.pos += 1;
    const out = [];
    this.skip();
    if (this.text[this.pos] === "]") {
      this.pos += 1;
      return out;
    }
    for (;;) {
      out.push(this.value());
      this.skip();
      const ch = this.text[this.pos++];
      if (ch === "]") return out;
      if (ch !== ",") this.fail("Expected ',' or ']'");
    }
  }

  object() {
    this.pos += 1;
    const out = {};
    this.skip();
    if (this.text[this.pos] === "}") {
      this.pos += 1;
      return out;
    }
    for (;;) {
      this.skip();
      if (this.text[this.pos] !== '"') this.fail("Expected a key");
      const key = this.string();
      this.skip();
      if (this.text[this.pos++] !== ":") this.fail("Expected ':'");
      putKey(out, key, this.value());
      this.skip();
      const ch = this.text[this.pos++];
      if (ch === "}") return out;
      if (ch !== ",") this.fail("Expected ',' or '}'");
    }
  }
}
