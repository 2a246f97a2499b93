// The playground page: wires the editor, the add-in peer, the sheet grid and the output pane
// to the kernel connection. `window.playground` exposes the pieces for tests and debugging.

import { AddinPeer } from './addin/peer.js';
import { KernelConnection } from './connection.js';
import { SheetGrid } from './grid.js';
import { registerLanguageServices } from './lsp.js';

const MAIN = 'main';
const STORAGE_KEY = 'playground.modules';
const STARTER = `# Pick an example above, or write a script and press Run.
from quorvel import Excel

sheet = Excel.workbook.worksheets.getActiveWorksheet()
sheet.getRange("A1").values = [["Hello from Python"]]
print("Wrote", sheet.getRange("A1").address)
`;
const $ = (id) => document.getElementById(id);

function loadMonaco() {
  return new Promise((resolve, reject) => {
    window.require.config({ paths: { vs: '/monaco/vs' } });
    window.require(['vs/editor/editor.main'], () => resolve(window.monaco), reject);
  });
}

// The user's modules, one Monaco model each, kept across reloads in the browser's storage.
class Documents {
  constructor(monaco) {
    this.monaco = monaco;
    this.models = new Map();
    this.saveTimer = null;
  }

  add(name, text) {
    const uri = this.monaco.Uri.parse(`inmemory://modules/${name}.py`);
    const model = this.monaco.editor.createModel(text, 'python', uri);
    this.models.set(name, model);
    model.onDidChangeContent(() => this.saveSoon());
    return model;
  }

  remove(name) {
    this.models.get(name)?.dispose();
    this.models.delete(name);
    this.saveSoon();
  }

  nameOf(model) {
    for (const [name, candidate] of this.models) if (candidate === model) return name;
    return null;
  }

  all() {
    return Object.fromEntries([...this.models].map(([name, model]) => [name, model.getValue()]));
  }

  others(model) {
    const all = this.all();
    delete all[this.nameOf(model)];
    return all;
  }

  saveSoon() {
    clearTimeout(this.saveTimer);
    this.saveTimer = setTimeout(() => localStorage.setItem(STORAGE_KEY, JSON.stringify(this.all())), 500);
  }

  static restored() {
    try {
      const saved = JSON.parse(localStorage.getItem(STORAGE_KEY) || '{}');
      return saved && typeof saved === 'object' ? saved : {};
    } catch {
      return {};
    }
  }
}

class OutputPane {
  constructor(element) {
    this.element = element;
  }

  write(text, stream = 'stdout') {
    const last = this.element.lastElementChild;
    const atBottom = this.element.scrollHeight - this.element.scrollTop - this.element.clientHeight < 24;
    if (last && last.className === stream) last.textContent += text;
    else {
      const span = document.createElement('span');
      span.className = stream;
      span.textContent = text;
      this.element.appendChild(span);
    }
    if (atBottom) this.element.scrollTop = this.element.scrollHeight;
  }

  clear() {
    this.element.textContent = '';
  }
}

function setStatus(text, state) {
  const status = $('status');
  status.textContent = text;
  status.dataset.state = state;
}

async function main() {
  const token = new URLSearchParams(location.search).get('token');
  if (!token) {
    setStatus('No token in the address: open the link the playground printed', 'error');
    return;
  }
  const monaco = await loadMonaco();
  const output = new OutputPane($('output'));
  const connection = new KernelConnection(`ws://${location.host}/ws?token=${encodeURIComponent(token)}`);
  // A language service the kernel cannot answer now (disconnected) answers nothing.
  const ask = (method, params) => connection.ask('lsp', { method, params }, 'lspResult')
    .then((answer) => answer.result, (error) => ({ error: error.message }));

  // -- the editor and its modules ---------------------------------------------------------
  const documents = new Documents(monaco);
  const saved = Documents.restored();
  documents.add(MAIN, saved[MAIN] ?? STARTER);
  for (const [name, text] of Object.entries(saved)) if (name !== MAIN) documents.add(name, text);
  const editor = monaco.editor.create($('editor'), {
    model: documents.models.get(MAIN),
    automaticLayout: true,
    minimap: { enabled: false },
    fontSize: 13,
    scrollBeyondLastLine: false,
  });
  registerLanguageServices(monaco, ask, documents);

  const renderTabs = () => {
    const nav = $('modules');
    nav.textContent = '';
    for (const name of documents.models.keys()) {
      const tab = document.createElement('span');
      tab.className = `tab${documents.models.get(name) === editor.getModel() ? ' active' : ''}`;
      tab.dataset.module = name;
      tab.textContent = `${name}.py`;
      tab.onclick = () => { editor.setModel(documents.models.get(name)); renderTabs(); };
      if (name !== MAIN) {
        const close = document.createElement('button');
        close.textContent = '×';
        close.title = `Close ${name}.py`;
        close.onclick = (event) => {
          event.stopPropagation();
          if (editor.getModel() === documents.models.get(name)) editor.setModel(documents.models.get(MAIN));
          documents.remove(name);
          ask('deleteModule', { module_name: name }).catch(() => {});
          renderTabs();
        };
        tab.appendChild(close);
      }
      nav.appendChild(tab);
    }
    const add = document.createElement('button');
    add.textContent = '+ module';
    add.onclick = () => {
      const name = prompt('Module name (a Python identifier):');
      if (!name || !/^[A-Za-z_][A-Za-z0-9_]*$/.test(name) || documents.models.has(name)) return;
      editor.setModel(documents.add(name, `"""The module ${name}, importable from the other modules."""\n`));
      renderTabs();
    };
    nav.appendChild(add);
  };
  renderTabs();
  // A definition or reference in another open module: show that module's tab at the place.
  monaco.editor.registerEditorOpener({
    openCodeEditor(source, resource, selectionOrPosition) {
      const name = [...documents.models.keys()].find((n) => documents.models.get(n).uri.toString() === resource.toString());
      if (name === undefined || source !== editor) return false;
      editor.setModel(documents.models.get(name));
      if (selectionOrPosition && 'startLineNumber' in selectionOrPosition) editor.setSelection(selectionOrPosition);
      else if (selectionOrPosition) editor.setPosition(selectionOrPosition);
      editor.revealRangeInCenterIfOutsideViewport(editor.getSelection());
      renderTabs();
      return true;
    },
  });

  // -- the add-in side and the sheet ------------------------------------------------------
  const invokeCallable = async (callableId, args) => {
    const answer = await connection.ask('invoke', { callableId, args }, 'invokeResult');
    if (!answer.ok) throw new Error(answer.error?.message ?? 'The callback failed');
    return answer.result;
  };
  // IDs unique to this page load: the kernel's proxies from an earlier page on it release
  // their IDs late, and must not hit this page's objects (kept below 2**53).
  const peer = new AddinPeer({ invokeCallable, firstObjectId: Date.now() * 1000 });
  let renderQueued = false;
  const grid = new SheetGrid({
    table: $('grid'),
    tabs: $('sheets'),
    onEdit: (address, text) => {
      if (address !== null) {
        try {
          peer.editCell(address, text); // fires the sheet's change handlers, Python's included
        } catch (error) {
          output.write(`Could not edit ${address}: ${error.message}\n`, 'stderr');
        }
      }
      grid.render(peer.snapshot());
    },
  });
  const render = () => {
    renderQueued = false;
    grid.render(peer.snapshot());
  };
  peer.onChange(() => {
    if (!renderQueued) {
      renderQueued = true;
      requestAnimationFrame(render);
    }
  });
  render();

  // -- the kernel -------------------------------------------------------------------------
  let running = false;
  const runStates = [];
  const setRunning = (value) => {
    running = value;
    $('run').disabled = running || !connection.open;
    $('stop').disabled = !running;
  };
  connection
    .on('request', (envelope) => {
      let response;
      try {
        response = peer.handle(envelope);
      } catch (error) {
        response = { ok: false, error: { message: `Add-in error: ${error.message}` } };
      }
      connection.send({ ...response, requestId: envelope.requestId, kind: 'response' });
    })
    .on('output', (message) => output.write(message.text, message.stream))
    .on('runState', (message) => {
      runStates.push(message);
      if (message.state !== 'running') output.write(`[script ${message.run}: ${message.state}]\n`, 'system');
      if (message.state === 'running') setStatus(`Running script ${message.run}`, 'running');
      else setStatus(`Script ${message.run}: ${message.state}`, message.state === 'error' ? 'error' : 'idle');
      setRunning(message.state === 'running');
    });
  connection.onOpen = (reconnected) => {
    peer.reset(); // the kernel reset its messaging: no object handed out before is valid
    if (reconnected) output.write('Reconnected to the kernel.\n', 'system');
    setStatus('Connected', 'idle');
    setRunning(false);
  };
  connection.onClose = (event, gaveUp) => {
    setRunning(false);
    $('run').disabled = true;
    const why = gaveUp ? 'Another page took over the kernel'
      : connection.opens === 0 ? 'The kernel refused the connection: open the address it printed'
        : 'Disconnected: reconnecting…';
    setStatus(why, 'closed');
  };
  connection.connect();

  $('run').onclick = () => {
    const model = editor.getModel();
    connection.send({ kind: 'run', code: model.getValue(), module: documents.nameOf(model), modules: documents.all() });
  };
  $('stop').onclick = () => connection.send({ kind: 'stop' });
  $('clear').onclick = () => output.clear();

  const menu = $('examples');
  for (const example of await (await fetch('/examples')).json()) {
    menu.add(new Option(example.name, example.file));
  }
  menu.onchange = async () => {
    if (!menu.value) return;
    const text = await (await fetch(menu.value)).text();
    const model = documents.models.get(MAIN);
    model.pushEditOperations([], [{ range: model.getFullModelRange(), text }], () => null);
    editor.setModel(model);
    editor.setPosition({ lineNumber: 1, column: 1 });
    editor.revealLine(1);
    renderTabs();
    menu.value = '';
  };

  window.playground = { monaco, editor, documents, peer, connection, grid, output, runStates, ready: true };
}

// Monaco cancels a provider's request that the editor no longer needs (the cursor moved, the
// model changed) by rejecting with "Canceled"; that is not a fault of the page.
window.addEventListener('unhandledrejection', (event) => {
  if (event.reason?.name === 'Canceled') event.preventDefault();
});

main().catch((error) => {
  setStatus(`The page failed to start: ${error.message}`, 'error');
  console.error(error);
});
