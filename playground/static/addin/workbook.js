// The playground's in-memory workbook: sheets of sparse cells behind an object model shaped
// like the add-in's (workbook, worksheets, ranges, formats, events), usable from JavaScript
// directly and answered to Python requests by the peer.

import { PyCallable, WireDate } from "./wire.js";

export const MAX_ROWS = 1_048_576;
export const MAX_COLUMNS = 16_384;
/** The most cells one read or write visits, so that a whole-sheet range fails instead of hanging. */
export const MAX_CELLS = 1_000_000;
const DEFAULT_FILL = "#FFFFFF";
const DEFAULT_FONT_COLOR = "#000000";
const DEFAULT_SIZE = 11;
export const DEFAULT_SETTINGS = Object.freeze({ locale: "en-US", theme: "light", calculationMode: "automatic" });

/** A failure the add-in reports back as an error answer with this message. */
export class AddinError extends Error {
  constructor(message) {
    super(message);
    this.name = "AddinError";
  }
}

const COLOR_NAMES = {
  black: "#000000", white: "#FFFFFF", red: "#FF0000", green: "#008000", blue: "#0000FF",
  yellow: "#FFFF00", orange: "#FFA500", gray: "#808080", grey: "#808080", navy: "#000080",
  purple: "#800080", lightgray: "#D3D3D3",
};

function show(value) {
  if (typeof value === "string") return JSON.stringify(value);
  if (Array.isArray(value)) return "an array";
  if (value instanceof ApiObject) return `a ${value.typeName}`;
  return String(value);
}

// ---------------------------------------------------------------------------------------------
// Addresses

const CELL = /^\$?([A-Za-z]{1,3})\$?([0-9]{1,7})$/;

/** 1 -> A, 27 -> AA. */
export function columnLetters(column) {
  let letters = "";
  for (let c = column; c > 0; c = Math.floor((c - 1) / 26)) {
    letters = String.fromCharCode(65 + ((c - 1) % 26)) + letters;
  }
  return letters;
}

function columnNumber(letters) {
  let n = 0;
  for (const ch of letters.toUpperCase()) n = n * 26 + ch.charCodeAt(0) - 64;
  return n;
}

/** A rectangle of cells, 1-based and inclusive. */
export class Rect {
  constructor(top, left, bottom, right) {
    Object.assign(this, { top, left, bottom, right });
    Object.freeze(this);
  }

  get rows() {
    return this.bottom - this.top + 1;
  }

  get columns() {
    return this.right - this.left + 1;
  }

  get size() {
    return this.rows * this.columns;
  }

  contains(row, col) {
    return row >= this.top && row <= this.bottom && col >= this.left && col <= this.right;
  }

  *cells() {
    for (let r = this.top; r <= this.bottom; r++) for (let c = this.left; c <= this.right; c++) yield [r, c];
  }

  intersect(o) {
    const top = Math.max(this.top, o.top), left = Math.max(this.left, o.left);
    const bottom = Math.min(this.bottom, o.bottom), right = Math.min(this.right, o.right);
    return top > bottom || left > right ? null : new Rect(top, left, bottom, right);
  }

  equals(o) {
    return this.top === o.top && this.left === o.left && this.bottom === o.bottom && this.right === o.right;
  }

  a1() {
    const first = `${columnLetters(this.left)}${this.top}`;
    return this.rows === 1 && this.columns === 1 ? first : `${first}:${columnLetters(this.right)}${this.bottom}`;
  }
}

function parseCell(text) {
  const m = CELL.exec(text);
  if (m === null) return null;
  const row = Number(m[2]), col = columnNumber(m[1]);
  return row >= 1 && row <= MAX_ROWS && col >= 1 && col <= MAX_COLUMNS ? [row, col] : null;
}

/** "Sheet1!A1:B2" -> {sheet: "Sheet1", rect}; sheet is null when the address names none. */
export function parseAddress(address) {
  if (typeof address !== "string") throw new AddinError(`Invalid range address: ${show(address)}`);
  let sheet = null;
  let text = address.trim();
  const bang = text.lastIndexOf("!");
  if (bang >= 0) {
    sheet = text.slice(0, bang);
    text = text.slice(bang + 1);
    if (sheet.length >= 2 && sheet[0] === "'" && sheet.at(-1) === "'") sheet = sheet.slice(1, -1).replaceAll("''", "'");
  }
  const parts = text.split(":");
  const corners = parts.length <= 2 ? parts.map(parseCell) : [null];
  if (sheet === "" || corners.includes(null)) throw new AddinError(`Invalid range address: ${show(address)}`);
  const [[r1, c1], [r2, c2]] = [corners[0], corners.at(-1)];
  return { sheet, rect: new Rect(Math.min(r1, r2), Math.min(c1, c2), Math.max(r1, r2), Math.max(c1, c2)) };
}

export function quoteSheet(name) {
  return /^[A-Za-z_][A-Za-z0-9_.]*$/.test(name) ? name : `'${name.replaceAll("'", "''")}'`;
}

// ---------------------------------------------------------------------------------------------
// Cells, sheets and formulas

class Cell {
  value = "";
  formula = null;
  numberFormat = "General";
  fill = DEFAULT_FILL;
  fontColor = DEFAULT_FONT_COLOR;
  bold = false;
  italic = false;
  size = DEFAULT_SIZE;

  isBlank() {
    return (
      this.value === "" && this.formula === null && this.numberFormat === "General" && this.fill === DEFAULT_FILL &&
      this.fontColor === DEFAULT_FONT_COLOR && !this.bold && !this.italic && this.size === DEFAULT_SIZE
    );
  }

  hasContent() {
    return this.formula !== null || this.value !== "";
  }
}

const BLANK = Object.freeze(new Cell());

/** One sheet's data: its name, its cells by "row,column" and the handlers told of edits. */
export class SheetData {
  constructor(name) {
    this.name = name;
    this.cells = new Map();
    this.listeners = [];
  }

  cell(row, col) {
    return this.cells.get(`${row},${col}`) ?? BLANK;
  }

  update(row, col, changes) {
    const key = `${row},${col}`;
    const cell = Object.assign(Object.assign(new Cell(), this.cells.get(key)), changes);
    if (cell.isBlank()) this.cells.delete(key);
    else this.cells.set(key, cell);
  }

  value(row, col, depth = 0) {
    const cell = this.cell(row, col);
    return cell.formula === null ? cell.value : evaluate(this, cell.formula, depth);
  }

  usedRect(valuesOnly = false) {
    let rect = null;
    for (const [key, cell] of this.cells) {
      if (valuesOnly && !cell.hasContent()) continue;
      const [r, c] = key.split(",").map(Number);
      rect = rect === null ? new Rect(r, c, r, c)
        : new Rect(Math.min(rect.top, r), Math.min(rect.left, c), Math.max(rect.bottom, r), Math.max(rect.right, c));
    }
    return rect;
  }
}

class FormulaError extends Error {
  constructor(code) {
    super(code);
    this.code = code;
  }
}

const AGGREGATES = {
  SUM: (xs) => xs.reduce((a, b) => a + b, 0),
  AVERAGE: (xs) => {
    if (xs.length === 0) throw new FormulaError("#DIV/0!");
    return xs.reduce((a, b) => a + b, 0) / xs.length;
  },
  MIN: (xs) => (xs.length ? Math.min(...xs) : 0),
  MAX: (xs) => (xs.length ? Math.max(...xs) : 0),
  COUNT: (xs) => xs.length,
};
// A number, a quoted text, a cell or range reference, a function name with its parenthesis,
// or an operator.
const TOKEN = new RegExp(
  String.raw`\s*(?:(\d+(?:\.\d*)?(?:[eE][+-]?\d+)?|\.\d+)|("(?:[^"]|"")*")|` +
    String.raw`(\$?[A-Za-z]{1,3}\$?\d+(?::\$?[A-Za-z]{1,3}\$?\d+)?)(?![A-Za-z0-9(])|` +
    String.raw`([A-Za-z][A-Za-z0-9.]*)\s*\(|([-+*/^&(),]))`,
  "y",
);
const MAX_DEPTH = 32;

/**
 * The value of a formula: numbers, text in quotes, cell references, + - * / ^ &, parentheses
 * and SUM, AVERAGE, MIN, MAX, COUNT over ranges and values. What it cannot read shows as the
 * spreadsheet shows an unknown name; a reference loop stops at a fixed depth.
 */
function evaluate(sheet, formula, depth) {
  if (depth > MAX_DEPTH) return "#NAME?";
  const tokens = [];
  const text = formula.slice(1);
  TOKEN.lastIndex = 0;
  while (TOKEN.lastIndex < text.trimEnd().length) {
    const start = TOKEN.lastIndex;
    const m = TOKEN.exec(text);
    if (m === null || TOKEN.lastIndex === start) return "#NAME?";
    if (m[1] !== undefined) tokens.push({ num: Number(m[1]) });
    else if (m[2] !== undefined) tokens.push({ str: m[2].slice(1, -1).replaceAll('""', '"') });
    else if (m[3] !== undefined) tokens.push({ ref: m[3] });
    else if (m[4] !== undefined) tokens.push({ fn: m[4].toUpperCase() });
    else tokens.push({ op: m[5] });
  }
  let pos = 0;
  const peek = () => tokens[pos]?.op;
  const take = (op) => (peek() === op ? (pos++, true) : false);
  const number = (v) => {
    if (typeof v === "number") return v;
    if (v === "" || v === null) return 0;
    if (typeof v === "boolean") return v ? 1 : 0;
    if (typeof v === "string" && v.startsWith("#")) throw new FormulaError(v);
    throw new FormulaError("#VALUE!");
  };
  // The values of a reference's cells; blanks are left out of a large range.
  const cells = (ref) => {
    const { rect } = parseAddress(ref);
    const keys = rect.size <= sheet.cells.size ? [...rect.cells()]
      : [...sheet.cells.keys()].map((k) => k.split(",").map(Number)).filter(([r, c]) => rect.contains(r, c));
    return keys.map(([r, c]) => sheet.value(r, c, depth + 1));
  };
  const binary = (next, ops, apply) => () => {
    let left = next();
    while (ops.includes(peek())) {
      const op = tokens[pos++].op;
      left = apply(op, left, next());
    }
    return left;
  };
  const primary = () => {
    const t = tokens[pos++];
    if (t === undefined) throw new FormulaError("#NAME?");
    if ("num" in t) return t.num;
    if ("str" in t) return t.str;
    if ("ref" in t) {
      if (parseAddress(t.ref).rect.size !== 1) throw new FormulaError("#VALUE!");
      return cells(t.ref)[0];
    }
    if ("fn" in t) {
      const fn = AGGREGATES[t.fn];
      if (fn === undefined) throw new FormulaError("#NAME?");
      const numbers = [];
      if (!take(")")) {
        do {
          const arg = tokens[pos];
          if (arg && "ref" in arg && [",", ")"].includes(tokens[pos + 1]?.op)) {
            pos++;
            numbers.push(...cells(arg.ref).filter((v) => typeof v === "number"));
          } else {
            numbers.push(number(expression()));
          }
        } while (take(","));
        if (!take(")")) throw new FormulaError("#NAME?");
      }
      return fn(numbers);
    }
    if (t.op === "(") {
      const v = expression();
      if (!take(")")) throw new FormulaError("#NAME?");
      return v;
    }
    if (t.op === "-") return -number(unary());
    if (t.op === "+") return number(unary());
    throw new FormulaError("#NAME?");
  };
  const unary = primary;
  const power = binary(unary, ["^"], (_, a, b) => number(a) ** number(b));
  const product = binary(power, ["*", "/"], (op, a, b) => {
    const [x, y] = [number(a), number(b)];
    if (op === "/" && y === 0) throw new FormulaError("#DIV/0!");
    return op === "*" ? x * y : x / y;
  });
  const sum = binary(product, ["+", "-"], (op, a, b) => (op === "+" ? number(a) + number(b) : number(a) - number(b)));
  const expression = binary(sum, ["&"], (_, a, b) => displayText(a, "General") + displayText(b, "General"));
  try {
    const value = expression();
    if (pos !== tokens.length) return "#NAME?";
    if (typeof value === "number" && !Number.isFinite(value)) return "#NUM!";
    return value;
  } catch (e) {
    if (e instanceof FormulaError) return e.code;
    if (e instanceof AddinError) return "#NAME?";
    throw e;
  }
}

// ---------------------------------------------------------------------------------------------
// Display text, as the grid and Range.text show a value under its number format

function groupThousands(digits) {
  return digits.replace(/\B(?=(\d{3})+(?!\d))/g, ",");
}

/** The text a cell shows: numbers by their number format, booleans in capitals. */
export function displayText(value, numberFormat) {
  if (value === "" || value === null || value === undefined) return "";
  if (typeof value === "boolean") return value ? "TRUE" : "FALSE";
  if (value instanceof Uint8Array) return `<${value.length} bytes>`;
  if (typeof value !== "number") return String(value);
  const m = /^([^#0.%]*)(#,##)?0(?:\.(0+))?(%?)([^#0.%]*)$/.exec(numberFormat);
  if (m === null) {
    // Ten significant digits for fractions, but never fewer than the whole part has.
    if (Number.isInteger(value)) return String(value);
    const whole = Math.floor(Math.log10(Math.abs(value))) + 1;
    return String(Number(value.toPrecision(Math.min(Math.max(10, whole), 17))));
  }
  const [, prefix, grouping, decimals = "", percent, suffix] = m;
  const x = percent ? value * 100 : value;
  let [whole, fraction] = Math.abs(x).toFixed(decimals.length).split(".");
  if (grouping) whole = groupThousands(whole);
  const unquote = (s) => s.replaceAll('"', "");
  const body = unquote(prefix) + whole + (fraction ? "." + fraction : "") + percent + unquote(suffix);
  return x < 0 && Number(Math.abs(x).toFixed(decimals.length)) !== 0 ? "-" + body : body;
}

// ---------------------------------------------------------------------------------------------
// The object model. Each class lists what a request may read (props: "r" or "rw") and call
// (methods: parameter names, "?" marking an optional one); a write is validated first and
// returns a closure that applies it, so a transaction can hold it back until it commits.

export class ApiObject {
  static typeName = "Object";
  static props = {};
  static methods = {};

  get typeName() {
    return this.constructor.typeName;
  }

  /** Validates a write of a "rw" property and returns the closure that applies it. */
  prepareSet(name, value) {
    return this[`_set_${name}`](value);
  }
}

/** Every prop and method a class answers, its base classes' included. */
export function membersOf(cls) {
  const props = {}, methods = {};
  for (let c = cls; c && c !== Object; c = Object.getPrototypeOf(c)) {
    const own = (key) => (Object.hasOwn(c, key) ? Object.entries(c[key]) : []);
    for (const [k, v] of own("props")) if (!(k in props)) props[k] = v;
    for (const [k, v] of own("methods")) if (!(k in methods)) methods[k] = v;
  }
  return { props, methods };
}

/**
 * Installs on a class the getters of `formats` (prop name -> cell attribute, read as the value
 * all its cells share) and, for each "rw" prop, the setter that applies a write at once.
 */
function defineAccessors(cls, formats = {}) {
  for (const [name, attr] of Object.entries(formats)) {
    Object.defineProperty(cls.prototype, name, {
      configurable: true,
      get() {
        return this.areas.uniform(attr);
      },
    });
  }
  for (const [name, mode] of Object.entries(cls.props)) {
    if (mode !== "rw") continue;
    const own = Object.getOwnPropertyDescriptor(cls.prototype, name);
    Object.defineProperty(cls.prototype, name, {
      ...own,
      set(value) {
        this.book.apply(this.prepareSet(name, value));
      },
    });
  }
}

/** A callable object of the model; `call` takes positional and named arguments. */
export class FunctionObject extends ApiObject {
  static typeName = "Function";

  call(args, kwargs) {
    throw new AddinError("This function cannot be called");
  }
}

/** The array or dict behind an answer that carried one, for reads of its length. */
export class DataObject extends ApiObject {
  static props = { length: "r" };

  constructor(data) {
    super();
    this.data = data;
  }

  get typeName() {
    return Array.isArray(this.data) ? "Array" : "Dict";
  }

  get length() {
    return Array.isArray(this.data) ? this.data.length : Object.keys(this.data).length;
  }
}

function scalarOrThrow(item, what) {
  if (item instanceof Date) return WireDate.fromDate(item);
  const ok =
    item === null || item === undefined || typeof item === "string" || typeof item === "boolean" ||
    (typeof item === "number" && Number.isFinite(item)) || item instanceof WireDate || item instanceof Uint8Array;
  if (!ok) throw new AddinError(`Invalid cell ${what}: ${show(item)} is not a cell value`);
  return item;
}

// A 2-D write in the range's shape; a single value fills every cell.
function grid(value, rect, what) {
  checkSize([rect]);
  if (!Array.isArray(value)) value = Array.from({ length: rect.rows }, () => Array(rect.columns).fill(value));
  if (value.length !== rect.rows || value.some((row) => !Array.isArray(row) || row.length !== rect.columns)) {
    throw new AddinError(`The ${what}s must be a ${rect.rows} x ${rect.columns} array to match the range`);
  }
  return value.map((row) => row.map((item) => scalarOrThrow(item, what)));
}

// A read or write visits each cell: one of a whole sheet's size fails instead of hanging.
function checkSize(rects) {
  const size = rects.reduce((n, r) => n + r.size, 0);
  if (size > MAX_CELLS) {
    const where = rects.map((r) => r.a1()).join(",");
    throw new AddinError(`The range ${where} has ${size} cells; at most ${MAX_CELLS} are read or written at once`);
  }
}

function content(item) {
  if (item === null || item === undefined) return { value: "", formula: null };
  if (typeof item === "string" && item.startsWith("=")) return { value: "", formula: item };
  return { value: item, formula: null };
}

function normaliseColor(value) {
  if (typeof value !== "string") throw new AddinError(`Invalid color: ${show(value)}`);
  let text = COLOR_NAMES[value.trim().toLowerCase()] ?? value.trim();
  if (/^#[0-9A-Fa-f]{3}$/.test(text)) text = "#" + [...text.slice(1)].map((ch) => ch + ch).join("");
  if (!/^#[0-9A-Fa-f]{6}$/.test(text)) throw new AddinError(`Invalid color: ${show(value)}`);
  return text.toUpperCase();
}

function index(value, what) {
  if (!Number.isSafeInteger(value)) throw new AddinError(`${what} must be a whole number, got ${show(value)}`);
  return value;
}

/** The workbook: its sheets in tab order, the active one, the settings and the listeners. */
export class Workbook extends ApiObject {
  static typeName = "Workbook";
  static props = { name: "r", worksheets: "r" };

  constructor({ sheets = ["Sheet1"], settings = DEFAULT_SETTINGS } = {}) {
    super();
    this.sheets = sheets.map((n) => new SheetData(n));
    this.active = this.sheets[0] ?? null;
    this.settings = { ...settings };
    this.version = 0;
    this._subscribers = new Set();
    /** Called with (PyCallable, event) for each Python handler an edit concerns. */
    this.onPythonEvent = null;
  }

  get name() {
    return "Book1";
  }

  get worksheets() {
    return new WorksheetCollection(this);
  }

  getSetting(name) {
    return Object.hasOwn(this.settings, name) ? this.settings[name] : null;
  }

  sheet(name) {
    const found = this.sheets.find((s) => s.name.toLowerCase() === String(name).toLowerCase());
    if (found === undefined) throw new AddinError(`The worksheet '${name}' does not exist`);
    return found;
  }

  /** fn() after every change of the workbook's data; returns the function that unsubscribes. */
  subscribe(fn) {
    this._subscribers.add(fn);
    return () => this._subscribers.delete(fn);
  }

  /** Runs a prepared write, then tells the sheet's handlers of an edit and the subscribers. */
  apply(applyWrite) {
    const change = applyWrite();
    if (change && change.sheet) {
      const event = {
        type: "WorksheetChanged",
        changeType: "RangeEdited",
        worksheet: change.sheet.name,
        address: change.rect.a1(),
      };
      // Handlers run after the write's own answer has gone, never inside it.
      for (const handler of change.sheet.listeners) {
        queueMicrotask(() => {
          if (typeof handler === "function") handler({ ...event });
          else if (this.onPythonEvent) this.onPythonEvent(handler, { ...event });
        });
      }
    }
    this.changed();
  }

  changed() {
    this.version += 1;
    for (const fn of this._subscribers) fn();
  }

  /** The active (or the named) sheet's non-blank cells by address, as the page's grid draws them. */
  snapshot(sheetName) {
    const sheet = sheetName === undefined ? this.active : this.sheet(sheetName);
    const cells = {};
    for (const [key, cell] of [...sheet.cells].sort(byPosition)) {
      const [r, c] = key.split(",").map(Number);
      const value = sheet.value(r, c);
      cells[`${columnLetters(c)}${r}`] = {
        value: value instanceof WireDate ? value.iso : value instanceof Uint8Array ? displayText(value) : value,
        text: displayText(value, cell.numberFormat),
        fill: cell.fill,
        fontColor: cell.fontColor,
        bold: cell.bold,
        italic: cell.italic,
      };
    }
    return { sheet: sheet.name, sheets: this.sheets.map((s) => s.name), cells };
  }
}

function byPosition([a], [b]) {
  const [ra, ca] = a.split(",").map(Number), [rb, cb] = b.split(",").map(Number);
  return ra - rb || ca - cb;
}

export class WorksheetCollection extends ApiObject {
  static typeName = "WorksheetCollection";
  static props = { count: "r", items: "r" };
  static methods = { getItem: ["key"], add: ["name?"], getActiveWorksheet: [], getCount: [] };

  constructor(book) {
    super();
    this.book = book;
  }

  get count() {
    return this.book.sheets.length;
  }

  get items() {
    return this.book.sheets.map((s) => new Worksheet(this.book, s));
  }

  getitem(key) {
    const sheets = this.book.sheets;
    if (/^-?\d*(:-?\d*){1,2}$/.test(key)) {
      const [start, stop, step] = key.split(":").map((p) => (p === "" || p === undefined ? undefined : Number(p)));
      return pySlice(sheets, start, stop, step).map((s) => new Worksheet(this.book, s));
    }
    if (/^-?\d+$/.test(key)) {
      const i = Number(key) < 0 ? sheets.length + Number(key) : Number(key);
      if (i < 0 || i >= sheets.length) throw new AddinError(`Worksheet index ${key} is out of range`);
      return new Worksheet(this.book, sheets[i]);
    }
    return new Worksheet(this.book, this.book.sheet(key));
  }

  getItem(key) {
    return new Worksheet(this.book, this.book.sheet(key));
  }

  add(name = null) {
    const sheets = this.book.sheets;
    if (name === null || name === undefined) {
      const taken = new Set(sheets.map((s) => s.name.toLowerCase()));
      let n = sheets.length + 1;
      while (taken.has(`sheet${n}`)) n++;
      name = `Sheet${n}`;
    }
    if (typeof name !== "string" || !name.trim() || /[[\]:*?/\\]/.test(name)) {
      throw new AddinError(`Invalid worksheet name: ${show(name)}`);
    }
    if (sheets.some((s) => s.name.toLowerCase() === name.toLowerCase())) {
      throw new AddinError(`A worksheet named '${name}' already exists`);
    }
    const sheet = new SheetData(name);
    sheets.push(sheet);
    this.book.changed();
    return new Worksheet(this.book, sheet);
  }

  getActiveWorksheet() {
    return new Worksheet(this.book, this.book.active);
  }

  getCount() {
    return this.count;
  }
}

function pySlice(items, start, stop, step = 1) {
  if (step === 0) throw new AddinError("A slice step cannot be zero");
  const n = items.length;
  const clamp = (i, dflt, lo, hi) => (i === undefined ? dflt : Math.min(Math.max(i < 0 ? i + n : i, lo), hi));
  const out = [];
  if (step > 0) for (let i = clamp(start, 0, 0, n); i < clamp(stop, n, 0, n); i += step) out.push(items[i]);
  else for (let i = clamp(start, n - 1, -1, n - 1); i > clamp(stop, -1, -1, n - 1); i += step) out.push(items[i]);
  return out;
}

export class Worksheet extends ApiObject {
  static typeName = "Worksheet";
  static props = { name: "rw", position: "r", onChanged: "r" };
  static methods = {
    getRange: ["address"], getUsedRange: ["valuesOnly?"], activate: [], getCell: ["row", "column"], delete: [],
  };

  constructor(book, sheet) {
    super();
    this.book = book;
    this.sheet = sheet;
  }

  get name() {
    return this.sheet.name;
  }

  _set_name(value) {
    if (typeof value !== "string" || !value.trim()) throw new AddinError(`Invalid worksheet name: ${show(value)}`);
    const unique = () => {
      if (this.book.sheets.some((s) => s !== this.sheet && s.name.toLowerCase() === value.toLowerCase())) {
        throw new AddinError(`A worksheet named '${value}' already exists`);
      }
    };
    unique();
    return () => {
      unique(); // again when a batch commits: a sheet may have taken the name meanwhile
      this.sheet.name = value;
    };
  }

  get position() {
    return this.book.sheets.indexOf(this.sheet);
  }

  get onChanged() {
    return new EventHandlers(this.sheet);
  }

  getRange(address) {
    const { sheet, rect } = parseAddress(address);
    if (sheet !== null && sheet.toLowerCase() !== this.sheet.name.toLowerCase()) {
      throw new AddinError(`The address ${show(address)} is not on worksheet '${this.sheet.name}'`);
    }
    return new Range(this.book, this.sheet, rect);
  }

  getUsedRange(valuesOnly = false) {
    return new Range(this.book, this.sheet, this.sheet.usedRect(Boolean(valuesOnly)) ?? new Rect(1, 1, 1, 1));
  }

  getCell(row, column) {
    const [r, c] = [index(row, "A row") + 1, index(column, "A column") + 1];
    if (r < 1 || r > MAX_ROWS || c < 1 || c > MAX_COLUMNS) {
      throw new AddinError(`There is no cell at row ${row}, column ${column}`);
    }
    return new Range(this.book, this.sheet, new Rect(r, c, r, c));
  }

  activate() {
    this.book.active = this.sheet;
    this.book.changed();
  }

  delete() {
    const sheets = this.book.sheets;
    const at = sheets.indexOf(this.sheet);
    if (at < 0) return;
    if (sheets.length === 1) throw new AddinError("A workbook must keep at least one worksheet");
    sheets.splice(at, 1);
    if (this.book.active === this.sheet) this.book.active = sheets[Math.max(0, at - 1)];
    this.book.changed();
  }
}

export class EventHandlers extends ApiObject {
  static typeName = "EventHandlers";
  static methods = { add: ["handler"], remove: ["handler"] };

  constructor(sheet) {
    super();
    this.sheet = sheet;
  }

  /** handler: a JavaScript function or a Python callable; it hears each edit of the sheet. */
  add(handler) {
    if (!(handler instanceof PyCallable) && typeof handler !== "function") {
      throw new AddinError("An event handler must be a function");
    }
    this.sheet.listeners.push(handler);
  }

  remove(handler) {
    const same = (h) =>
      h === handler || (h instanceof PyCallable && handler instanceof PyCallable && h.id === handler.id);
    this.sheet.listeners = this.sheet.listeners.filter((h) => !same(h));
  }
}

// ---------------------------------------------------------------------------------------------
// Ranges

/** One or more rectangles on one sheet: what a range or a union of ranges covers. */
class Areas {
  constructor(book, sheet, rects) {
    Object.assign(this, { book, sheet, rects });
  }

  *cells() {
    checkSize(this.rects);
    const seen = new Set();
    for (const rect of this.rects) {
      for (const [r, c] of rect.cells()) {
        if (!seen.has(`${r},${c}`)) {
          seen.add(`${r},${c}`);
          yield [r, c];
        }
      }
    }
  }

  address() {
    return this.rects.map((r) => `${quoteSheet(this.sheet.name)}!${r.a1()}`).join(",");
  }

  // The one value every cell shares, or null when they differ.
  uniform(attr) {
    const found = new Set();
    for (const [r, c] of this.cells()) {
      found.add(this.sheet.cell(r, c)[attr]);
      if (found.size > 1) return null;
    }
    return found.size === 1 ? [...found][0] : null;
  }

  setAll(changes) {
    return () => {
      for (const [r, c] of this.cells()) this.sheet.update(r, c, changes);
    };
  }
}

/** A range of several rectangles, as a union answers with. */
export class RangeAreas extends ApiObject {
  static typeName = "RangeAreas";
  static props = { address: "r", areaCount: "r", areas: "r", cellCount: "r", worksheet: "r", format: "r" };

  constructor(areas) {
    super();
    this.areas_ = areas;
    this.book = areas.book;
  }

  get address() {
    return this.areas_.address();
  }

  get areaCount() {
    return this.areas_.rects.length;
  }

  get areas() {
    return this.areas_.rects.map((r) => new Range(this.book, this.areas_.sheet, r));
  }

  get cellCount() {
    if (this.areas_.rects.length === 1) return this.areas_.rects[0].size;
    let n = 0;
    for (const _ of this.areas_.cells()) n++;
    return n;
  }

  get worksheet() {
    return new Worksheet(this.book, this.areas_.sheet);
  }

  get format() {
    return new RangeFormat(this.areas_);
  }
}

export class Range extends RangeAreas {
  static typeName = "Range";
  static props = {
    address: "r", rowCount: "r", columnCount: "r", rowIndex: "r", columnIndex: "r",
    values: "rw", formulas: "rw", numberFormat: "rw", text: "r",
  };
  static methods = {
    getCell: ["row", "column"], getOffsetRange: ["rowOffset", "columnOffset"],
    getResizedRange: ["deltaRows", "deltaColumns"], getUsedRange: ["valuesOnly?"], clear: [],
  };

  constructor(book, sheet, rect) {
    super(new Areas(book, sheet, [rect]));
    this.sheet = sheet;
    this.rect = rect;
  }

  get address() {
    return `${quoteSheet(this.sheet.name)}!${this.rect.a1()}`;
  }

  get rowCount() {
    return this.rect.rows;
  }

  get columnCount() {
    return this.rect.columns;
  }

  get rowIndex() {
    return this.rect.top - 1;
  }

  get columnIndex() {
    return this.rect.left - 1;
  }

  _rows(read) {
    checkSize([this.rect]);
    const out = [];
    for (let r = this.rect.top; r <= this.rect.bottom; r++) {
      const row = [];
      for (let c = this.rect.left; c <= this.rect.right; c++) row.push(read(r, c));
      out.push(row);
    }
    return out;
  }

  get values() {
    return this._rows((r, c) => this.sheet.value(r, c));
  }

  get formulas() {
    return this._rows((r, c) => this.sheet.cell(r, c).formula ?? this.sheet.cell(r, c).value);
  }

  get numberFormat() {
    return this._rows((r, c) => this.sheet.cell(r, c).numberFormat);
  }

  get text() {
    return this._rows((r, c) => displayText(this.sheet.value(r, c), this.sheet.cell(r, c).numberFormat));
  }

  _writeContents(value, what) {
    const rows = grid(value, this.rect, what);
    return () => {
      this._each(rows, (item) => content(item));
      return { sheet: this.sheet, rect: this.rect };
    };
  }

  _set_values(value) {
    return this._writeContents(value, "value");
  }

  _set_formulas(value) {
    return this._writeContents(value, "formula");
  }

  _set_numberFormat(value) {
    const rows = grid(value, this.rect, "number format");
    if (rows.some((row) => row.some((item) => typeof item !== "string"))) {
      throw new AddinError("A number format must be text");
    }
    return () => this._each(rows, (item) => ({ numberFormat: item }));
  }

  // Updates each cell of the range with the changes made from its item of `rows`.
  _each(rows, changes) {
    rows.forEach((row, i) => row.forEach((item, j) => this.sheet.update(this.rect.top + i, this.rect.left + j, changes(item))));
  }

  _within(top, left, bottom, right) {
    if (top < 1 || left < 1 || bottom > MAX_ROWS || right > MAX_COLUMNS || top > bottom || left > right) {
      throw new AddinError("The range would reach beyond the worksheet");
    }
    return new Range(this.book, this.sheet, new Rect(top, left, bottom, right));
  }

  getCell(row, column) {
    const [r, c] = [this.rect.top + index(row, "A row"), this.rect.left + index(column, "A column")];
    return this._within(r, c, r, c);
  }

  getOffsetRange(rowOffset, columnOffset) {
    const [dr, dc] = [index(rowOffset, "A row offset"), index(columnOffset, "A column offset")];
    const { top, left, bottom, right } = this.rect;
    return this._within(top + dr, left + dc, bottom + dr, right + dc);
  }

  getResizedRange(deltaRows, deltaColumns) {
    const [dr, dc] = [index(deltaRows, "A row delta"), index(deltaColumns, "A column delta")];
    const { top, left, bottom, right } = this.rect;
    return this._within(top, left, bottom + dr, right + dc);
  }

  getUsedRange(valuesOnly = false) {
    const used = this.sheet.usedRect(Boolean(valuesOnly));
    const both = used && this.rect.intersect(used);
    if (!both) throw new AddinError(`The range ${this.address} has no used cells`);
    return new Range(this.book, this.sheet, both);
  }

  clear() {
    const rect = this.rect;
    this.book.apply(() => {
      for (const key of [...this.sheet.cells.keys()]) {
        const [r, c] = key.split(",").map(Number);
        if (rect.contains(r, c)) this.sheet.cells.delete(key);
      }
      return { sheet: this.sheet, rect };
    });
  }
}

export class RangeFormat extends ApiObject {
  static typeName = "RangeFormat";
  static props = { fill: "r", font: "r" };
  static methods = { autofitColumns: [], autofitRows: [] };

  constructor(areas) {
    super();
    this.areas = areas;
  }

  get fill() {
    return new RangeFill(this.areas);
  }

  get font() {
    return new RangeFont(this.areas);
  }

  // The grid sizes its columns itself.
  autofitColumns() {}

  autofitRows() {}
}

export class RangeFill extends ApiObject {
  static typeName = "RangeFill";
  static props = { color: "rw" };
  static methods = { clear: [] };

  constructor(areas) {
    super();
    this.areas = areas;
    this.book = areas.book;
  }

  _set_color(value) {
    return this.areas.setAll({ fill: normaliseColor(value) });
  }

  clear() {
    this.book.apply(this.areas.setAll({ fill: DEFAULT_FILL }));
  }
}

export class RangeFont extends ApiObject {
  static typeName = "RangeFont";
  static props = { bold: "rw", color: "rw", italic: "rw", size: "rw" };

  constructor(areas) {
    super();
    this.areas = areas;
    this.book = areas.book;
  }

  _flag(name, value) {
    if (typeof value !== "boolean") throw new AddinError(`Invalid value for ${name}: ${show(value)}`);
    return this.areas.setAll({ [name]: value });
  }

  _set_bold(value) {
    return this._flag("bold", value);
  }

  _set_italic(value) {
    return this._flag("italic", value);
  }

  _set_color(value) {
    return this.areas.setAll({ fontColor: normaliseColor(value) });
  }

  _set_size(value) {
    if (typeof value !== "number" || !(value >= 1 && value <= 409)) {
      throw new AddinError(`Invalid font size: ${show(value)}`);
    }
    return this.areas.setAll({ size: value });
  }
}

defineAccessors(Worksheet);
defineAccessors(Range);
defineAccessors(RangeFill, { color: "fill" });
defineAccessors(RangeFont, { bold: "bold", italic: "italic", color: "fontColor", size: "size" });

// ---------------------------------------------------------------------------------------------
// The fixed function objects: settings, union and intersection of ranges

export class GetSetting extends FunctionObject {
  constructor(book) {
    super();
    this.book = book;
  }

  call(args, kwargs) {
    if (args.length !== 1 || Object.keys(kwargs).length || typeof args[0] !== "string") {
      throw new AddinError("GetSetting takes one setting name");
    }
    return this.book.getSetting(args[0]);
  }
}

function areasOf(args, kwargs, what) {
  if (Object.keys(kwargs).length) throw new AddinError(`${what} takes only ranges`);
  if (args.length === 0) throw new AddinError(`${what} needs at least one range`);
  if (args.some((a) => !(a instanceof RangeAreas))) throw new AddinError(`${what} takes only ranges`);
  const areas = args.map((a) => a.areas_);
  if (areas.some((a) => a.sheet !== areas[0].sheet)) throw new AddinError(`${what} needs ranges on one worksheet`);
  return areas;
}

function rangeOf(areas, rects) {
  if (rects.length === 1) return new Range(areas.book, areas.sheet, rects[0]);
  return new RangeAreas(new Areas(areas.book, areas.sheet, rects));
}

function distinct(rects) {
  return rects.filter((r, i) => rects.findIndex((o) => o.equals(r)) === i);
}

export class Union extends FunctionObject {
  call(args, kwargs) {
    const areas = areasOf(args, kwargs, "Union");
    return rangeOf(areas[0], distinct(areas.flatMap((a) => a.rects)));
  }
}

export class Intersect extends FunctionObject {
  call(args, kwargs) {
    const areas = areasOf(args, kwargs, "Intersect");
    let rects = areas[0].rects;
    for (const a of areas.slice(1)) rects = rects.flatMap((r) => a.rects.map((o) => r.intersect(o)).filter(Boolean));
    return rects.length ? rangeOf(areas[0], distinct(rects)) : null;
  }
}
