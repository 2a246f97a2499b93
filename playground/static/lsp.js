// Monaco's language providers fed by the kernel's LSPBridge. The bridge already answers in
// Monaco's shapes, so each provider only sends the document and hands the answer on.

// The bridge's positions: line 1-based as Monaco's, column 0-based (characters before the cursor).
function at(model, position, documents) {
  return {
    code: model.getValue(),
    line: position.lineNumber,
    column: position.column - 1,
    path: documents.nameOf(model),
    modules: documents.others(model),
  };
}

function wordRange(model, position) {
  const word = model.getWordUntilPosition(position);
  return {
    startLineNumber: position.lineNumber,
    endLineNumber: position.lineNumber,
    startColumn: word.startColumn,
    endColumn: word.endColumn,
  };
}

// One entry per language service: how to register its Monaco provider. A service the bridge
// gains later is one more entry here and one line in the kernel's LSP_METHODS.
export const PROVIDERS = {
  completions: (monaco, ask, documents) =>
    monaco.languages.registerCompletionItemProvider('python', {
      triggerCharacters: ['.'],
      async provideCompletionItems(model, position) {
        const answer = await ask('completions', at(model, position, documents));
        const range = wordRange(model, position);
        return { suggestions: (answer.completions || []).map((item) => ({ ...item, range })) };
      },
    }),

  hover: (monaco, ask, documents) =>
    monaco.languages.registerHoverProvider('python', {
      async provideHover(model, position) {
        const answer = await ask('hover', at(model, position, documents));
        return answer.contents ? { contents: [{ value: answer.contents.value }] } : null;
      },
    }),

  signatureHelp: (monaco, ask, documents) =>
    monaco.languages.registerSignatureHelpProvider('python', {
      signatureHelpTriggerCharacters: ['(', ','],
      signatureHelpRetriggerCharacters: [','],
      async provideSignatureHelp(model, position) {
        const answer = await ask('signatureHelp', at(model, position, documents));
        if (!answer.signatures || answer.signatures.length === 0) return null;
        const { signatures, activeSignature, activeParameter } = answer;
        return { value: { signatures, activeSignature, activeParameter }, dispose() {} };
      },
    }),

  // Markers as the user types: one request per pause, drawn only on the text it checked.
  diagnostics: (monaco, ask, documents, { delayMs = 400 } = {}) => {
    const timers = new Map();
    const check = async (model) => {
      const version = model.getVersionId();
      const answer = await ask('diagnostics', { code: model.getValue(), module_name: documents.nameOf(model) });
      if (!model.isDisposed() && model.getVersionId() === version) {
        monaco.editor.setModelMarkers(model, 'sensewell', answer.diagnostics || []);
      }
    };
    const schedule = (model) => {
      clearTimeout(timers.get(model));
      timers.set(model, setTimeout(() => check(model).catch(() => {}), delayMs));
    };
    const watch = (model) => {
      if (model.getLanguageId() !== 'python') return;
      model.onDidChangeContent(() => schedule(model));
      schedule(model);
    };
    monaco.editor.getModels().forEach(watch);
    return monaco.editor.onDidCreateModel(watch);
  },
};

// `ask(method, params)` resolves with the bridge's answer dict; `documents` names the models
// and gives the other open modules' text, which the bridge syncs so imports between them resolve.
export function registerLanguageServices(monaco, ask, documents, names = Object.keys(PROVIDERS)) {
  return names.map((name) => PROVIDERS[name](monaco, ask, documents));
}
