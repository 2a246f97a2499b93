// The active sheet as an HTML table, redrawn from the add-in peer's snapshot; each cell
// carries its address in data-cell, and a double click edits it as a user would in the sheet.

const MIN_COLUMNS = 8;
const MIN_ROWS = 24;

export function columnName(index) {
  let name = '';
  for (let n = index + 1; n > 0; n = Math.floor((n - 1) / 26)) {
    name = String.fromCharCode(65 + ((n - 1) % 26)) + name;
  }
  return name;
}

export function parseAddress(address) {
  const match = /^([A-Z]+)(\d+)$/.exec(address);
  if (!match) return null;
  let column = 0;
  for (const letter of match[1]) column = column * 26 + (letter.charCodeAt(0) - 64);
  return { column: column - 1, row: Number(match[2]) - 1 };
}

export class SheetGrid {
  constructor({ table, tabs, onEdit }) {
    this.table = table;
    this.tabs = tabs;
    this.onEdit = onEdit;
    this.editing = null;
    table.addEventListener('dblclick', (event) => {
      const cell = event.target.closest('td[data-cell]');
      if (cell) this.edit(cell);
    });
  }

  render(snapshot) {
    if (this.editing) return; // redrawn when the edit ends
    const cells = snapshot.cells || {};
    let columns = MIN_COLUMNS;
    let rows = MIN_ROWS;
    for (const address of Object.keys(cells)) {
      const at = parseAddress(address);
      if (!at) continue;
      columns = Math.max(columns, at.column + 2);
      rows = Math.max(rows, at.row + 2);
    }
    const head = ['<tr><th class="row"></th>'];
    for (let c = 0; c < columns; c++) head.push(`<th>${columnName(c)}</th>`);
    head.push('</tr>');
    const body = [];
    for (let r = 0; r < rows; r++) {
      body.push(`<tr><th class="row">${r + 1}</th>`);
      for (let c = 0; c < columns; c++) {
        const address = columnName(c) + (r + 1);
        body.push(cellHtml(address, cells[address]));
      }
      body.push('</tr>');
    }
    this.table.innerHTML = `<thead>${head.join('')}</thead><tbody>${body.join('')}</tbody>`;
    this.tabs.innerHTML = (snapshot.sheets || []).map((name) =>
      `<span class="tab${name === snapshot.sheet ? ' active' : ''}">${escapeHtml(name)}</span>`).join('');
  }

  edit(cell) {
    const address = cell.dataset.cell;
    const input = document.createElement('input');
    input.value = cell.textContent;
    cell.textContent = '';
    cell.appendChild(input);
    this.editing = address;
    input.focus();
    const finish = (commit) => {
      if (this.editing !== address) return;
      this.editing = null;
      if (commit) this.onEdit(address, input.value);
      else this.onEdit(null);
    };
    input.addEventListener('keydown', (event) => {
      if (event.key === 'Enter') finish(true);
      if (event.key === 'Escape') finish(false);
    });
    input.addEventListener('blur', () => finish(true));
  }
}

function cellHtml(address, cell) {
  if (!cell) return `<td data-cell="${address}"></td>`;
  const style = [];
  if (cell.fill) style.push(`background:${cssColor(cell.fill)}`);
  if (cell.fontColor) style.push(`color:${cssColor(cell.fontColor)}`);
  if (cell.bold) style.push('font-weight:bold');
  if (cell.italic) style.push('font-style:italic');
  const text = cell.text ?? (cell.value == null ? '' : String(cell.value));
  const number = typeof cell.value === 'number' ? ' class="number"' : '';
  return `<td data-cell="${address}"${number} style="${style.join(';')}">${escapeHtml(text)}</td>`;
}

function cssColor(color) {
  return /^(#[0-9a-fA-F]{3,8}|[a-zA-Z]+)$/.test(String(color)) ? color : 'transparent';
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
}
