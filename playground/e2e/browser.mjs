// Drives the playground page in headless Chromium and prints what it saw as one JSON report;
// tests/playground/test_browser.py judges it. Usage: node browser.mjs URL SCREENSHOT_DIR
// Each step records its findings, or its error, and the next step goes on regardless.

import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

const [url, shots] = process.argv.slice(2);
const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];
const STEP_MS = 30000;
const CALLBACK_CELL = 'A3'; // the callback example doubles what is typed in column A
const report = { steps: {}, console: [] };

async function step(name, body) {
  try {
    report.steps[name] = { ok: true, ...(await body()) };
  } catch (error) {
    report.steps[name] = { ok: false, error: String(error && error.stack || error) };
  }
}

// -- editor helpers ------------------------------------------------------------------------

async function setCode(page, text) {
  await page.evaluate((value) => {
    const { editor, documents } = window.playground;
    editor.setModel(documents.models.get('main'));
    editor.setValue(value);
    const lines = editor.getModel().getLineCount();
    editor.setPosition({ lineNumber: lines, column: editor.getModel().getLineMaxColumn(lines) });
    editor.focus();
  }, text);
}

async function typeInEditor(page, text) {
  await page.locator('#editor textarea').first().focus();
  await page.keyboard.type(text, { delay: 30 });
}

async function mouseOnWord(page, lineNumber, column) {
  const point = await page.evaluate(({ lineNumber, column }) => {
    const { editor } = window.playground;
    const at = editor.getScrolledVisiblePosition({ lineNumber, column });
    const box = editor.getDomNode().getBoundingClientRect();
    return { x: box.left + at.left + 3, y: box.top + at.top + at.height / 2 };
  }, { lineNumber, column });
  await page.mouse.move(point.x, point.y);
}

async function placeCursor(page, lineNumber, column) {
  await page.evaluate((at) => { window.playground.editor.setPosition(at); window.playground.editor.focus(); },
    { lineNumber, column });
}

const cursorAt = (page) => page.evaluate(() => {
  const { editor, documents } = window.playground;
  const { lineNumber, column } = editor.getPosition();
  return { module: documents.nameOf(editor.getModel()), line: lineNumber, column };
});

async function runAndWait(page, state = null) {
  const before = await page.evaluate(() => window.playground.runStates.length);
  await page.click('#run');
  await page.waitForFunction((n) => window.playground.runStates.slice(n).some((m) => m.state === 'running'),
    before, { timeout: STEP_MS });
  const started = await page.evaluate((n) => window.playground.runStates.slice(n).find((m) => m.state === 'running').run, before);
  if (state === 'running') return started;
  await page.waitForFunction((run) => window.playground.runStates.some((m) => m.run === run && m.state !== 'running'),
    started, { timeout: STEP_MS });
  return page.evaluate((run) => window.playground.runStates.find((m) => m.run === run && m.state !== 'running').state, started);
}

async function gridCells(page) {
  return page.evaluate(() => Object.fromEntries([...document.querySelectorAll('#grid td[data-cell]')]
    .filter((td) => td.textContent !== '' || td.getAttribute('style'))
    .map((td) => [td.dataset.cell, { text: td.textContent, style: td.getAttribute('style') || '' }])));
}

async function chooseExample(page, name) {
  const value = await page.evaluate((wanted) =>
    [...document.querySelectorAll('#examples option')].find((o) => o.textContent === wanted)?.value, name);
  if (!value) throw new Error(`no example named ${name}`);
  await page.selectOption('#examples', value);
  await page.waitForFunction((file) => window.playground.editor.getModel().getValue().length > 0 &&
    document.querySelector('#examples').value === '', value);
  return page.evaluate(() => window.playground.editor.getModel().getValue());
}

const outputText = (page) => page.evaluate(() => document.getElementById('output').textContent);

// -- the run -------------------------------------------------------------------------------

const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'playground-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: CHROMIUM_ARGS,
  viewport: { width: 1400, height: 860 },
});
try {
  const page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(STEP_MS);
  page.on('console', (m) => { if (m.type() === 'error') report.console.push(m.text()); });
  page.on('pageerror', (e) => report.console.push(String(e)));

  await step('load', async () => {
    await page.goto(url);
    await page.waitForFunction(() => window.playground?.ready && window.playground.connection.open);
    return { monacoGlobal: await page.evaluate(() => typeof window.monaco?.editor?.create) };
  });

  await step('completions', async () => {
    await setCode(page, 'import os\n');
    await typeInEditor(page, 'os.pa');
    const row = page.locator('.suggest-widget .monaco-list-row');
    await row.first().waitFor({ state: 'visible' });
    await page.waitForFunction(() => [...document.querySelectorAll('.suggest-widget .monaco-list-row')]
      .some((r) => r.getAttribute('aria-label')?.startsWith('path')));
    const labels = await page.$$eval('.suggest-widget .monaco-list-row .label-name', (els) => els.map((e) => e.textContent));
    if (shots) await page.screenshot({ path: path.join(shots, 'playground-completions.png'), clip: { x: 0, y: 0, width: 700, height: 420 } });
    await page.keyboard.press('Escape');
    return { labels };
  });

  await step('signatureHelp', async () => {
    await setCode(page, 'import os\n');
    await typeInEditor(page, 'os.path.join("a", ');
    const hint = page.locator('.parameter-hints-widget');
    await hint.waitFor({ state: 'visible' });
    await page.waitForFunction(() => document.querySelector('.parameter-hints-widget .signature')?.textContent.includes('join'));
    const text = await page.locator('.parameter-hints-widget .signature').textContent();
    await page.keyboard.press('Escape');
    return { text };
  });

  await step('hover', async () => {
    await setCode(page, 'import os\nprint(os.getcwd())\n');
    await mouseOnWord(page, 2, 11);
    const shown = () => [...document.querySelectorAll('.monaco-hover-content')]
      .map((e) => e.textContent).find((t) => t.includes('getcwd'));
    await page.waitForFunction(shown);
    return { text: await page.evaluate(shown) };
  });

  await step('markers', async () => {
    await page.mouse.move(0, 0);
    await setCode(page, 'import os\n');
    await typeInEditor(page, 'print(undefined_name)');
    await page.waitForFunction(() => window.monaco.editor.getModelMarkers({ owner: 'sensewell' }).length >= 2);
    await page.waitForFunction(() => document.querySelectorAll('.squiggly-warning').length >= 2);
    const markers = await page.evaluate(() => window.monaco.editor.getModelMarkers({ owner: 'sensewell' })
      .map((m) => ({ message: m.message, severity: m.severity, line: m.startLineNumber, start: m.startColumn, end: m.endColumn, tags: m.tags ?? [] })));
    const drawn = await page.evaluate(() => ({
      warning: document.querySelectorAll('.squiggly-warning').length,
      error: document.querySelectorAll('.squiggly-error').length,
    }));
    const faded = await page.evaluate(() => document.querySelectorAll('.squiggly-inline-unnecessary').length);
    await typeInEditor(page, '\nx = 1 +');
    await page.waitForFunction(() => document.querySelectorAll('.squiggly-error').length >= 1);
    const syntax = await page.evaluate(() => window.monaco.editor.getModelMarkers({ owner: 'sensewell' })
      .map((m) => ({ message: m.message, severity: m.severity })));
    return { markers, drawn, faded, syntax };
  });

  // -- the editor's navigation and edits over two modules ----------------------------------

  await step('definition', async () => {
    await page.evaluate(() => window.playground.documents.add('helper', 'def twice(x):\n    return 2 * x\n'));
    await setCode(page, 'import helper\n\nprint(helper.twice(2))\n');
    await placeCursor(page, 3, 16);
    await page.keyboard.press('F12');
    await page.waitForFunction(() => window.playground.documents.nameOf(window.playground.editor.getModel()) === 'helper');
    const f12 = await cursorAt(page);
    await setCode(page, 'def double(x):\n    return 2 * x\n\n\ndouble(3)\n');
    await page.keyboard.down('Control');
    await mouseOnWord(page, 5, 3);
    await page.mouse.down();
    await page.mouse.up();
    await page.keyboard.up('Control');
    await page.waitForFunction(() => window.playground.editor.getPosition().lineNumber === 1);
    return { f12, ctrlClick: await cursorAt(page) };
  });

  await step('references', async () => {
    await setCode(page, 'import helper\n\nhelper.twice(1)\nhelper.twice(2)\n');
    await placeCursor(page, 3, 10);
    await page.keyboard.press('Shift+F12');
    const rows = '.reference-zone-widget .monaco-list-row';
    await page.waitForFunction((sel) => document.querySelectorAll(sel).length >= 3, rows);
    const labels = await page.$$eval(rows, (els) => els.map((e) => e.getAttribute('aria-label') || e.textContent));
    await page.keyboard.press('Escape');
    return { labels };
  });

  await step('outline', async () => {
    await setCode(page, 'class Shape:\n    def area(self):\n        return 0\n\n\ndef main():\n    pass\n\n\nLIMIT = 3\n');
    await page.keyboard.press('Control+Shift+O');
    const rows = '.quick-input-list .monaco-list-row';
    await page.waitForFunction((sel) => document.querySelectorAll(sel).length >= 4, rows);
    const labels = await page.$$eval(rows, (els) => els.map((e) => e.querySelector('.label-name')?.textContent ?? e.textContent));
    await page.keyboard.press('Escape');
    return { labels };
  });

  await step('rename', async () => {
    await setCode(page, 'import helper\n\nprint(helper.twice(2))\n');
    await placeCursor(page, 3, 16);
    await page.keyboard.press('F2');
    const input = page.locator('.rename-box input');
    await input.fill('double');
    await input.press('Enter');
    await page.waitForFunction(() => window.playground.documents.models.get('helper').getValue().includes('def double'));
    return { texts: await page.evaluate(() => window.playground.documents.all()) };
  });

  await step('quickFix', async () => {
    await page.evaluate(() => window.playground.documents.remove('helper'));
    await setCode(page, 'x = np.zeros(3)\n');
    await page.waitForFunction(() => window.monaco.editor.getModelMarkers({ owner: 'sensewell' })
      .some((m) => m.message.includes("'np'")));
    await placeCursor(page, 1, 6);
    await page.locator('.lightBulbWidget').waitFor({ state: 'visible' });
    await page.keyboard.press('Control+.');
    const rows = '.action-widget .monaco-list-row.action';
    await page.waitForFunction((sel) => document.querySelectorAll(sel).length >= 1, rows);
    const titles = await page.$$eval(rows, (els) => els.map((e) => e.textContent));
    // The preferred fix comes focused; Enter applies it, as the widget's own hint says.
    await page.waitForFunction((sel) => document.querySelector(`${sel}.focused`)?.textContent.includes('numpy'), rows);
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => window.playground.editor.getModel().getValue().includes('import numpy as np'));
    return { titles, text: await page.evaluate(() => window.playground.editor.getModel().getValue()) };
  });

  await step('dataframe', async () => {
    const code = await chooseExample(page, 'dataframe');
    const state = await runAndWait(page);
    await page.waitForTimeout(300); // one animation frame for the last redraw
    const cells = await gridCells(page);
    if (shots) await page.screenshot({ path: path.join(shots, 'playground.png') });
    return { state, cells, code, output: await outputText(page) };
  });

  await step('callback', async () => {
    // A fresh page brings a fresh workbook: the kernel sees a new page and resets.
    await page.reload();
    await page.waitForFunction(() => window.playground?.ready && window.playground.connection.open);
    await chooseExample(page, 'callback');
    const state = await runAndWait(page);
    const before = await outputText(page);
    const target = CALLBACK_CELL;
    await page.dblclick(`#grid td[data-cell="${target}"]`);
    await page.keyboard.press('Control+A');
    await page.keyboard.type('5');
    await page.keyboard.press('Enter');
    await page.waitForFunction((n) => document.getElementById('output').textContent.length > n, before.length);
    await page.waitForTimeout(1000); // the callback's own writes reach the grid
    const after = await outputText(page);
    const cells = await gridCells(page);
    if (shots) await page.screenshot({ path: path.join(shots, 'playground-callback.png') });
    return { state, target, callbackOutput: after.slice(before.length), cells };
  });

  await step('traceback', async () => {
    await page.click('#clear');
    await setCode(page, 'def outer():\n    return 1 / 0\n\nouter()\n');
    const state = await runAndWait(page);
    return { state, output: await outputText(page) };
  });

  await step('stop', async () => {
    await page.click('#clear');
    await setCode(page, 'n = 0\nwhile True:\n    n += 1\n');
    await runAndWait(page, 'running');
    await page.waitForTimeout(500);
    const started = Date.now();
    await page.click('#stop');
    await page.waitForFunction(() => window.playground.runStates.at(-1).state === 'stopped');
    const ms = Date.now() - started;
    await setCode(page, 'print("after the stop")\n');
    const nextRun = await runAndWait(page);
    return { ms, nextRun, output: await outputText(page) };
  });

  await step('reconnect', async () => {
    await page.click('#clear');
    await page.evaluate(() => window.playground.connection.drop());
    await page.waitForFunction(() => document.getElementById('output').textContent.includes('Reconnected'));
    await page.waitForFunction(() => !document.getElementById('run').disabled);
    await setCode(page, 'sheet = Excel.workbook.worksheets.getActiveWorksheet()\nsheet.getRange("D1").values = [["after reconnect"]]\nprint("ran after reconnect")\n');
    const state = await runAndWait(page);
    await page.waitForTimeout(300);
    return { state, output: await outputText(page), d1: (await gridCells(page)).D1?.text ?? null };
  });

  await step('unrepresentable', async () => {
    await page.click('#clear');
    await setCode(page, [
      'sheet = Excel.workbook.worksheets.getActiveWorksheet()',
      'for value in (float("inf"), 2**53 + 1):',
      '    try:',
      '        sheet.getRange("F1").values = [[value]]',
      '    except Exception as exc:',
      '        print(type(exc).__name__, exc)',
      'print("F1 holds", repr(sheet.getRange("F1").values[0][0]))',
      '',
    ].join('\n'));
    const state = await runAndWait(page);
    return { state, output: await outputText(page) };
  });

  // The kernel's proxies of the page before a reload release their IDs late, into the new page;
  // each page here runs one script, so both hand out their first IDs.
  const reload = async () => {
    await page.reload();
    await page.waitForFunction(() => window.playground?.ready && window.playground.connection.open);
  };
  await step('lateReleases', async () => {
    await reload();
    await setCode(page, 'import builtins\nsheet = Excel.workbook.worksheets.getActiveWorksheet()\n' +
      'builtins.kept = [sheet.getRange(f"A{i}") for i in range(1, 6)]\n');
    const first = await runAndWait(page);
    await reload();
    await setCode(page, 'import builtins, gc\nsheet = Excel.workbook.worksheets.getActiveWorksheet()\n' +
      'target = sheet.getRange("E1")\ndel builtins.kept\ngc.collect()\n' +
      'target.values = [["survived"]]\nprint(target.address)\n');
    const state = await runAndWait(page);
    await page.waitForTimeout(300);
    return { first, state, output: await outputText(page), e1: (await gridCells(page)).E1?.text ?? null };
  });

  await step('refusal', async () => {
    const socketUrl = url.replace(/^http/, 'ws').replace('/?token=', '/ws?token=');
    const opens = async (target, pageUrl) => {
      const other = await context.newPage();
      await other.goto(pageUrl);
      const opened = await other.evaluate((u) => new Promise((resolve) => {
        const ws = new WebSocket(u);
        ws.onopen = () => { ws.close(); resolve(true); };
        ws.onerror = () => resolve(false);
      }), target);
      await other.close();
      return opened;
    };
    const origin = new URL(url).origin;
    return {
      sameOriginGoodToken: await opens(socketUrl, `${origin}/static/style.css`),
      sameOriginWrongToken: await opens(socketUrl.replace(/token=.*/, 'token=wrong'), `${origin}/static/style.css`),
      otherOriginGoodToken: await opens(socketUrl, 'data:text/html,<title>elsewhere</title>'),
    };
  });

  report.finalOutput = await outputText(page).catch(() => null);
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
process.stdout.write(`${JSON.stringify(report)}\n`);
