// The peer behind a line-based channel, for the Python tests: one JSON message per line in
// each direction, as the page speaks to its kernel over the WebSocket.
import { createInterface } from "node:readline";

import { AddinPeer } from "../static/addin/peer.js";
import { parseMessage, stringifyMessage } from "../static/addin/wire.js";

const send = (message) => process.stdout.write(stringifyMessage(message) + "\n");
const invocations = new Map();
let nextInvocation = 1;

const peer = new AddinPeer({
  invokeCallable: (callableId, args) =>
    new Promise((resolve, reject) => {
      const invocationId = nextInvocation++;
      invocations.set(invocationId, { resolve, reject });
      send({ kind: "invoke", invocationId, callableId, args });
    }),
});

createInterface({ input: process.stdin }).on("line", (line) => {
  const message = parseMessage(line);
  switch (message.kind) {
    case "request":
      send(peer.handle(message));
      break;
    case "invoked": {
      const { resolve, reject } = invocations.get(message.invocationId);
      invocations.delete(message.invocationId);
      if (message.ok) resolve(message.result);
      else reject(new Error(message.error));
      break;
    }
    case "edit":
      peer.editCell(message.address, message.text);
      break;
    case "reset":
      peer.reset();
      break;
    case "inspect":
      send({
        kind: "inspected",
        snapshot: peer.snapshot(),
        liveObjects: peer.liveObjects(),
        callbackErrors: peer.callbackErrors.map((e) => String(e.error?.message ?? e.error)),
      });
      break;
    default:
      send({ kind: "unknown", message });
  }
});
