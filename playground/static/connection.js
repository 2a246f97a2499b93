// The page's one WebSocket to the kernel: typed messages out, handlers by kind in, and
// request/answer pairs (language services, callbacks) matched by id; reconnects on its own.

import { parseMessage, stringifyMessage } from './addin/wire.js';

const REPLACED = 4001; // the server's close code when another page took over

export class KernelConnection {
  constructor(url) {
    this.url = url;
    this.handlers = new Map();
    this.pending = new Map();
    this.nextId = 1;
    this.socket = null;
    this.opens = 0;
    this.retryMs = 250;
    this.gaveUp = false;
    this.onOpen = () => {};
    this.onClose = () => {};
  }

  on(kind, handler) {
    this.handlers.set(kind, handler);
    return this;
  }

  connect() {
    const socket = new WebSocket(this.url);
    this.socket = socket;
    socket.onopen = () => {
      this.retryMs = 250;
      this.opens += 1;
      this.onOpen(this.opens > 1);
    };
    socket.onmessage = (event) => {
      // Not JSON.parse: the kernel writes Infinity and NaN as such, and ints beyond 2**53, which
      // the peer must see exactly to refuse them by name.
      const message = parseMessage(event.data);
      const handler = this.handlers.get(message.kind);
      if (handler) handler(message);
    };
    socket.onclose = (event) => {
      if (this.socket !== socket) return;
      for (const { reject } of this.pending.values()) reject(new Error('The kernel connection closed'));
      this.pending.clear();
      this.gaveUp = event.code === REPLACED;
      this.onClose(event, this.gaveUp);
      if (!this.gaveUp) {
        setTimeout(() => this.connect(), this.retryMs);
        this.retryMs = Math.min(this.retryMs * 2, 4000);
      }
    };
  }

  // Drops the socket as a network failure would; the page reconnects by itself.
  drop() {
    if (this.socket) this.socket.close(4000, 'dropped by the page');
  }

  get open() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  send(message) {
    if (!this.open) return false;
    this.socket.send(stringifyMessage(message));
    return true;
  }

  // Sends a message carrying a fresh id and resolves with the answer that carries it back.
  ask(kind, fields, answerKind) {
    return new Promise((resolve, reject) => {
      const id = this.nextId++;
      const idKey = kind === 'invoke' ? 'callId' : 'id';
      if (!this.send({ kind, [idKey]: id, ...fields })) {
        reject(new Error('The kernel is not connected'));
        return;
      }
      this.pending.set(id, { resolve, reject });
      if (!this.handlers.has(answerKind)) {
        this.on(answerKind, (message) => {
          const waiter = this.pending.get(message[idKey]);
          if (!waiter) return;
          this.pending.delete(message[idKey]);
          waiter.resolve(message);
        });
      }
    });
  }
}
