// Monaco's language providers fed by the kernel's LSPBridge. The bridge already answers in
// Monaco's shapes, so each provider sends the document and hands the answer on, with the
// modules it names turned into their models.

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

// The model a location or an edit of the bridge names: a user module open here, or the text
// asked about when it names none; null for library code (a path and no module).
function modelOf(place, model, documents) {
  if (place.module !== null && place.module !== undefined) return documents.models.get(place.module) ?? null;
  return place.path ? null : model;
}

function locations(found, model, documents) {
  return (found || []).flatMap((place) => {
    const target = modelOf(place, model, documents);
    return target ? [{ uri: target.uri, range: place.range }] : [];
  });
}

function workspaceEdit(edits, model, documents) {
  return {
    edits: (edits || []).flatMap((edit) => {
      const target = modelOf(edit, model, documents);
      return target ? [{ resource: target.uri, textEdit: { range: edit.range, text: edit.text }, versionId: target.getVersionId() }] : [];
    }),
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

  // Markers as the user types: one request per pause, drawn only on the text it checked. Their
  // tags draw unused names faded.
  markers: (monaco, ask, documents, { delayMs = 400 } = {}) => {
    const timers = new Map();
    const check = async (model) => {
      const version = model.getVersionId();
      const answer = await ask('markers', { code: model.getValue(), module_name: documents.nameOf(model) });
      if (!model.isDisposed() && model.getVersionId() === version) {
        monaco.editor.setModelMarkers(model, 'sensewell', answer.markers || []);
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

  // F12 and ctrl-click; places in library code have no model here and are left out.
  definitions: (monaco, ask, documents) =>
    monaco.languages.registerDefinitionProvider('python', {
      async provideDefinition(model, position) {
        const answer = await ask('definitions', at(model, position, documents));
        return locations(answer.definitions, model, documents);
      },
    }),

  references: (monaco, ask, documents) =>
    monaco.languages.registerReferenceProvider('python', {
      async provideReferences(model, position) {
        const answer = await ask('references', at(model, position, documents));
        return locations(answer.references, model, documents);
      },
    }),

  outline: (monaco, ask, documents) =>
    monaco.languages.registerDocumentSymbolProvider('python', {
      async provideDocumentSymbols(model) {
        const answer = await ask('documentSymbols', { code: model.getValue(), path: documents.nameOf(model) });
        const withTags = (symbol) => ({ ...symbol, tags: [], children: (symbol.children || []).map(withTags) });
        return (answer.symbols || []).map(withTags);
      },
    }),

  // F2: the edits may reach every open module that uses the name.
  rename: (monaco, ask, documents) =>
    monaco.languages.registerRenameProvider('python', {
      async provideRenameEdits(model, position, newName) {
        const answer = await ask('rename', { ...at(model, position, documents), new_name: newName });
        if (answer.error) return { edits: [], rejectReason: answer.error };
        return workspaceEdit(answer.edits, model, documents);
      },
    }),

  // The light bulb: imports for an undefined name, removal of an unused import.
  codeActions: (monaco, ask, documents) =>
    monaco.languages.registerCodeActionProvider('python', {
      async provideCodeActions(model, range) {
        const position = { lineNumber: range.startLineNumber, column: range.startColumn };
        const answer = await ask('codeActions', at(model, position, documents));
        const actions = (answer.actions || []).map((action) => ({
          ...action,
          edit: workspaceEdit(action.edit?.edits, model, documents),
        }));
        return { actions, dispose() {} };
      },
    }, { providedCodeActionKinds: ['quickfix'] }),
};

// `ask(method, params)` resolves with the bridge's answer dict; `documents` names the models
// and gives the other open modules' text, which the bridge syncs so imports between them resolve.
export function registerLanguageServices(monaco, ask, documents, names = Object.keys(PROVIDERS)) {
  return names.map((name) => PROVIDERS[name](monaco, ask, documents));
}
