// The add-in's end of the bridge: answers each request envelope of the Python side against the
// workbook, hands out object IDs, batches transaction writes and calls Python event handlers.

import {
  AddinError,
  ApiObject,
  DataObject,
  FunctionObject,
  GetSetting,
  Intersect,
  Union,
  Workbook,
  membersOf,
} from "./workbook.js";
import { PyCallable, WireError, fromWire, toWire } from "./wire.js";

export const FIRST_OBJECT_ID = 100;
export const TRANSACTION_ID = 5;
const DECIMAL = /^[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$/;

/** The root objects Excel (ID 1) and Context (ID 0): both lead to the workbook. */
class Root extends ApiObject {
  static typeName = "Excel";
  static props = { workbook: "r" };

  constructor(book) {
    super();
    this.workbook = book;
  }
}

class RequestContext extends Root {
  static typeName = "RequestContext";
  static methods = { echo: ["value?"] };

  /** Answers with the value as the add-in received it: a round trip for tests. */
  echo(value = null) {
    return value;
  }
}

/** A method read off an object, called later by a separate CALL. */
class BoundMethod extends FunctionObject {
  constructor(target, name, params) {
    super();
    Object.assign(this, { target, name, params });
  }

  call(args, kwargs) {
    return this.target[this.name](...bind(`${this.target.typeName}.${this.name}`, this.params, args, kwargs));
  }
}

// Positional and named arguments matched to a parameter list, as a Python call would match them.
function bind(where, params, args, kwargs) {
  const names = params.map((p) => p.replace(/\?$/, ""));
  const wrong = (why) => new AddinError(`Wrong arguments for ${where}: ${why}`);
  if (args.length > names.length) {
    throw wrong(`takes ${names.length} positional arguments but ${args.length} were given`);
  }
  const values = [...args];
  for (const [key, value] of Object.entries(kwargs)) {
    const at = names.indexOf(key);
    if (at < 0) throw wrong(`got an unexpected keyword argument '${key}'`);
    if (at < args.length) throw wrong(`multiple values for argument '${key}'`);
    values[at] = value;
  }
  params.forEach((p, i) => {
    if (!p.endsWith("?") && !(i in values)) throw wrong(`missing a required argument: '${p}'`);
  });
  return values;
}

/** Object 5: `start` opens a batch that holds every write back until `commit`. */
class Transaction extends ApiObject {
  static typeName = "Transaction";
  static methods = { start: ["context?", "blockGets?"], commit: [] };

  constructor(peer) {
    super();
    this.peer = peer;
  }

  start(context = null, blockGets = false) {
    // A batch still open here was never committed (a block rolled back): it is dropped.
    this.peer.batch = [];
    this.peer.blockGets = Boolean(blockGets);
  }

  commit() {
    const pending = this.peer.batch ?? [];
    this.peer.batch = null;
    this.peer.blockGets = false;
    const errors = [];
    for (const applyWrite of pending) {
      try {
        this.peer.workbook.apply(applyWrite);
      } catch (e) {
        if (!(e instanceof AddinError)) throw e;
        errors.push(e.message);
      }
    }
    if (errors.length) throw new AddinError(`Commit failed: ${errors[0]}`);
  }
}

export class AddinPeer {
  /**
   * invokeCallable(callableId, argsWire) -> Promise: the kernel runs a Python callable with
   * arguments given as wire values. workbook: the workbook to serve (a new one by default).
   * firstObjectId: where handed-out IDs start; a page that replaces an earlier peer of the same
   * kernel starts above the IDs that one handed out, whose late releases would hit its own.
   */
  constructor({ invokeCallable, workbook = new Workbook(), firstObjectId = FIRST_OBJECT_ID } = {}) {
    this.invokeCallable = invokeCallable;
    this.workbook = workbook;
    this.fixed = new Map([
      [0, new RequestContext(workbook)],
      [1, new Root(workbook)],
      [2, new GetSetting(workbook)],
      [3, new Union()],
      [4, new Intersect()],
      [TRANSACTION_ID, new Transaction(this)],
    ]);
    this.objects = new Map();
    this.nextId = firstObjectId;
    this.batch = null;
    this.blockGets = false;
    this.counts = {};
    /** Failures of Python event handlers, newest last, for the page to show. */
    this.callbackErrors = [];
    workbook.onPythonEvent = (handler, event) => this._fire(handler, event);
    this._hooks = {
      reference: (v) => (v instanceof ApiObject ? { typeName: v.typeName, id: this._handOver(v) } : null),
      containerId: (v) => this._handOver(new DataObject(v)),
      resolve: (id) => this.lookup(id),
    };
  }

  /** One request envelope in, its response out; failures come back as error answers. */
  handle(envelope) {
    const requestId = envelope !== null && typeof envelope === "object" ? (envelope.requestId ?? null) : null;
    try {
      return { requestId, kind: "response", ok: true, result: this._dispatch(envelope) };
    } catch (e) {
      const known = e instanceof AddinError || e instanceof WireError;
      const message = known ? e.message : `Internal add-in error: ${e?.message ?? e}`;
      return { requestId, kind: "response", ok: false, error: { message } };
    }
  }

  /** The kernel reconnected: the objects handed out and the Python handlers are gone. */
  reset() {
    this.objects.clear();
    this.batch = null;
    this.blockGets = false;
    for (const sheet of this.workbook.sheets) {
      sheet.listeners = sheet.listeners.filter((h) => !(h instanceof PyCallable));
    }
  }

  /** The grid's view of the active sheet, or of the sheet named. */
  snapshot(sheetName) {
    return this.workbook.snapshot(sheetName);
  }

  /** callback() once after a run of writes that changed the workbook; returns the unsubscriber. */
  onChange(callback) {
    let queued = false;
    return this.workbook.subscribe(() => {
      if (queued) return;
      queued = true;
      queueMicrotask(() => {
        queued = false;
        callback();
      });
    });
  }

  // -- beyond the page's interface ------------------------------------------------------------

  /**
   * A user's edit of one cell in the grid, typed as text: a formula, a number, TRUE or FALSE,
   * other text, or nothing to clear it. Fires the sheet's change handlers like any write.
   */
  editCell(address, text) {
    const sheet = this.workbook.worksheets.getActiveWorksheet();
    const trimmed = String(text ?? "").trim();
    let value = trimmed;
    if (trimmed === "") value = null;
    else if (/^(TRUE|FALSE)$/i.test(trimmed)) value = trimmed.toUpperCase() === "TRUE";
    else if (DECIMAL.test(trimmed) && Number.isFinite(Number(trimmed))) value = Number(trimmed);
    sheet.getRange(address).values = [[value]];
  }

  /** How many handed-out objects are still held (not released by DEL). */
  liveObjects() {
    return this.objects.size;
  }

  lookup(id) {
    const node = this.fixed.get(id) ?? this.objects.get(id);
    if (node === undefined) throw new AddinError(`Unknown object id ${JSON.stringify(id) ?? String(id)}`);
    return node;
  }

  // -- requests -----------------------------------------------------------------------------

  _dispatch(request) {
    if (request === null || typeof request !== "object" || Array.isArray(request)) {
      throw new AddinError("A request must be an object");
    }
    const { method, name, caller } = request;
    this.counts[method] = (this.counts[method] ?? 0) + 1;
    if (method === "DEL") {
      if (!this.fixed.has(caller)) this.objects.delete(caller);
      return this._encode(null);
    }
    const target = this.lookup(caller);
    switch (method) {
      case "GET": {
        const value = this._get(target, String(name));
        if (this.blockGets && this.batch !== null && !(value instanceof ApiObject)) {
          throw new AddinError(`Reading '${name}' is held back until the open batch is committed`);
        }
        return this._encode(value);
      }
      case "GETITEM":
        if (typeof target.getitem !== "function") throw new AddinError(`${target.typeName} does not support indexing`);
        return this._encode(target.getitem(String(name)));
      case "SET": {
        const applyWrite = this._prepareSet(target, String(name), this._decode(request.value));
        if (this.batch !== null) this.batch.push(applyWrite);
        else this.workbook.apply(applyWrite);
        return this._encode(null);
      }
      case "CALL": {
        if (!(target instanceof FunctionObject)) throw new AddinError(`${target.typeName} is not a function`);
        const [args, kwargs] = this._arguments(request.args);
        return this._encode(target.call(args, kwargs));
      }
      default:
        throw new AddinError(`Unknown request method: ${JSON.stringify(method) ?? String(method)}`);
    }
  }

  _get(target, name) {
    const { props, methods } = membersOf(target.constructor);
    if (Object.hasOwn(methods, name)) return new BoundMethod(target, name, methods[name]);
    if (Object.hasOwn(props, name)) return target[name];
    throw new AddinError(`${target.typeName} has no property or method named '${name}'`);
  }

  _prepareSet(target, name, value) {
    const { props, methods } = membersOf(target.constructor);
    if (props[name] === "rw" && Object.hasOwn(props, name)) return target.prepareSet(name, value);
    if (Object.hasOwn(props, name) || Object.hasOwn(methods, name)) {
      throw new AddinError(`The property '${name}' of ${target.typeName} is read-only`);
    }
    throw new AddinError(`${target.typeName} has no property named '${name}'`);
  }

  _arguments(entries) {
    if (!Array.isArray(entries)) throw new AddinError("A call needs an argument list");
    const args = [];
    const kwargs = {};
    for (const entry of entries) {
      if (entry === null || typeof entry !== "object") throw new AddinError("Malformed call argument");
      if (entry.arg_type === "NAMED") kwargs[String(entry.name)] = this._decode(entry.value);
      else args.push(this._decode(entry.value));
    }
    return [args, kwargs];
  }

  // -- objects and values -------------------------------------------------------------------

  _handOver(node) {
    const id = this.nextId++;
    this.objects.set(id, node);
    return id;
  }

  _encode(value) {
    return toWire(value, this._hooks);
  }

  _decode(wire) {
    return fromWire(wire, this._hooks);
  }

  // Runs a Python handler through the kernel; nothing here waits for it.
  _fire(handler, event) {
    if (typeof this.invokeCallable !== "function") return;
    const record = (e) => this.callbackErrors.push({ callableId: handler.id, error: e });
    try {
      Promise.resolve(this.invokeCallable(handler.id, [this._encode(event)])).catch(record);
    } catch (e) {
      record(e);
    }
  }
}
