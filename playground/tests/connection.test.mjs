// The page's kernel connection over a stand-in socket: messages as the kernel's JSON writes
// them reach the handlers exactly, and what the page sends keeps every digit.
import assert from "node:assert/strict";
import { test } from "node:test";

import { AddinPeer } from "../static/addin/peer.js";
import { parseMessage } from "../static/addin/wire.js";

class FakeSocket {
  static OPEN = 1;

  constructor(url) {
    this.url = url;
    this.readyState = FakeSocket.OPEN;
    this.sent = [];
  }

  send(text) {
    this.sent.push(text);
  }

  receive(text) {
    this.onmessage({ data: text });
  }
}
globalThis.WebSocket = FakeSocket;
const { KernelConnection } = await import("../static/connection.js");

function connected() {
  const connection = new KernelConnection("ws://kernel/ws");
  connection.connect();
  return connection;
}

test("requests the peer cannot represent are answered with errors naming the value", () => {
  const connection = connected();
  const peer = new AddinPeer();
  // As the page wires them: every request gets the peer's answer, error answers included.
  connection.on("request", (envelope) => connection.send({ ...peer.handle(envelope), kind: "response" }));
  const set = (value) => `{"kind": "request", "requestId": "r", "method": "CALL", "caller": 2, "name": "__call__", ` +
    `"args": [{"arg_type": "PLACED", "value": ${value}}]}`;
  connection.socket.receive(set('{"type": "Float", "value": Infinity, "isSpec": false}'));
  connection.socket.receive(set('{"type": "Int", "value": 9007199254740993, "isSpec": false}'));
  connection.socket.receive(set('{"type": "Int", "value": -36893488147419103232, "isSpec": false}'));
  const answers = connection.socket.sent.map(parseMessage);
  assert.deepStrictEqual(answers.map((a) => [a.ok, a.kind]), Array(3).fill([false, "response"]));
  assert.match(answers[0].error.message, /float inf\b/);
  assert.match(answers[1].error.message, /int 9007199254740993 /);
  assert.match(answers[2].error.message, /int -36893488147419103232 /);
});

test("what the page sends keeps big integers exact", () => {
  const connection = connected();
  assert.equal(connection.send({ kind: "response", value: 2n ** 64n, n: 1 }), true);
  assert.equal(connection.socket.sent[0], '{"kind":"response","value":18446744073709551616,"n":1}');
});
