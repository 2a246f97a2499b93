// The workbook model used from JavaScript directly: addresses, cells, formulas, display text,
// formats, sheets, union and intersection, change events and the grid's snapshot.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import {
  AddinError,
  Intersect,
  Rect,
  Union,
  Workbook,
  columnLetters,
  displayText,
  parseAddress,
} from "../static/addin/workbook.js";
import { WireDate } from "../static/addin/wire.js";

const tick = () => new Promise((resolve) => setImmediate(resolve));

function sheetOf(book = new Workbook()) {
  return book.worksheets.getActiveWorksheet();
}

describe("addresses", () => {
  test("cells, rectangles and sheet names", () => {
    assert.deepStrictEqual(parseAddress("A1"), { sheet: null, rect: new Rect(1, 1, 1, 1) });
    assert.deepStrictEqual(parseAddress("$b$2:c3").rect, new Rect(2, 2, 3, 3));
    assert.deepStrictEqual(parseAddress("C3:A1").rect, new Rect(1, 1, 3, 3));
    assert.deepStrictEqual(parseAddress("XFD1048576").rect, new Rect(1048576, 16384, 1048576, 16384));
    assert.deepStrictEqual(parseAddress("'My ''Q'' Sheet'!AA10"), { sheet: "My 'Q' Sheet", rect: new Rect(10, 27, 10, 27) });
    assert.equal(new Rect(2, 27, 5, 28).a1(), "AA2:AB5");
    assert.deepStrictEqual([1, 26, 27, 702, 703, 16384].map(columnLetters), ["A", "Z", "AA", "ZZ", "AAA", "XFD"]);
  });

  test("bad addresses are refused", () => {
    for (const bad of ["", "A", "1", "A0", "XFE1", "A1048577", "A1:B2:C3", "!A1", "A1:", 5, null]) {
      assert.throws(() => parseAddress(bad), (e) => e instanceof AddinError && /Invalid range address/.test(e.message), String(bad));
    }
  });
});

describe("cells", () => {
  test("values in the range's shape; one value fills it; null clears", () => {
    const sheet = sheetOf();
    const rng = sheet.getRange("B2:C3");
    assert.deepStrictEqual(rng.values, [["", ""], ["", ""]]);
    rng.values = [[1, "two"], [3.5, true]];
    assert.deepStrictEqual(sheet.getRange("B2:C3").values, [[1, "two"], [3.5, true]]);
    assert.deepStrictEqual([rng.rowCount, rng.columnCount, rng.rowIndex, rng.columnIndex], [2, 2, 1, 1]);
    rng.values = 7;
    assert.deepStrictEqual(rng.values, [[7, 7], [7, 7]]);
    rng.values = [[null, "x"], ["y", undefined]];
    assert.deepStrictEqual(rng.values, [["", "x"], ["y", ""]]);
    assert.throws(() => (rng.values = [[1, 2, 3]]), /2 x 2 array/);
    assert.throws(() => (rng.values = [[[1], 2], [3, 4]]), /not a cell value/);
    assert.throws(() => (rng.values = [[Infinity, 2], [3, 4]]), /Infinity is not a cell value/);
    assert.deepStrictEqual(rng.values, [["", "x"], ["y", ""]], "a refused write changes nothing");
  });

  test("dates and bytes are cell values; a Date is kept as its exact text", () => {
    const rng = sheetOf().getRange("A1:C1");
    rng.values = [[new Date(Date.UTC(2024, 0, 2)), new WireDate("+020000-01-01"), Uint8Array.of(1, 2)]];
    const [[a, b, c]] = rng.values;
    assert.equal(a.iso, "2024-01-02T00:00:00.000Z");
    assert.equal(b.iso, "+020000-01-01");
    assert.deepStrictEqual(c, Uint8Array.of(1, 2));
  });

  test("number formats", () => {
    const rng = sheetOf().getRange("A1:B1");
    assert.deepStrictEqual(rng.numberFormat, [["General", "General"]]);
    rng.numberFormat = [["0.00", "@"]];
    assert.deepStrictEqual(rng.numberFormat, [["0.00", "@"]]);
    assert.throws(() => (rng.numberFormat = 5), /must be text/);
  });

  test("display text under a number format", () => {
    const cases = [
      [1234.5, "General", "1234.5"], [0.1 + 0.2, "General", "0.3"], [1 / 3, "General", "0.3333333333"],
      [123456789012, "General", "123456789012"], [123456789012.25, "General", "123456789012"], [1e-7, "General", "1e-7"],
      [1234567.891, "#,##0", "1,234,568"], [-1234.5, "#,##0.00", "-1,234.50"], [0.1234, "0.0%", "12.3%"],
      [-0.0001, "0.00", "0.00"], [42, '"$"#,##0.00', "$42.00"], [5, "0", "5"], [true, "General", "TRUE"],
      ["text", "0.00", "text"], ["", "0.00", ""], [3, "@", "3"],
    ];
    for (const [value, format, text] of cases) assert.equal(displayText(value, format), text, `${value} ${format}`);
  });
});

describe("formulas", () => {
  test("aggregates, references, arithmetic and recalculation", () => {
    const sheet = sheetOf();
    sheet.getRange("A1:A3").values = [[2], [3], ["text"]];
    const total = sheet.getRange("A4");
    total.formulas = [["=SUM(A1:A3)"]];
    assert.deepStrictEqual(total.values, [[5]]);
    assert.deepStrictEqual(total.formulas, [["=SUM(A1:A3)"]]);
    assert.deepStrictEqual(sheet.getRange("A1").formulas, [[2]]);
    sheet.getRange("A1").values = [[10]];
    assert.deepStrictEqual(total.values, [[13]]);
    const formulas = [
      ["=AVERAGE(A1:A2)", 6.5], ["=A4", 13], ["=A3", "text"], ["=1+2*3^2", 19], ["=(1+2)*3", 9],
      ["=-A1+A2", -7], ["=A4/A2-1", 13 / 3 - 1], ["=SUM(A1:A2, 5, A4)", 31], ["=MAX(A1:A3)", 10],
      ['="n="&A2', "n=3"], ["=COUNT(A1:A4)", 3], ["=MIN(B9:B10)", 0], ["=A9+1", 1],
      ["=FOO(1)", "#NAME?"], ["=1/0", "#DIV/0!"], ["=A3*2", "#VALUE!"], ["=AVERAGE(B9:B10)", "#DIV/0!"],
      ["=10^400", "#NUM!"], ["=1+", "#NAME?"], ["=(1", "#NAME?"], ["=1 2", "#NAME?"], ["=A1:A2", "#VALUE!"],
    ];
    for (const [formula, value] of formulas) {
      sheet.getRange("B1").formulas = [[formula]];
      assert.deepStrictEqual(sheet.getRange("B1").values, [[value]], formula);
    }
  });

  test("a reference loop stops instead of recursing without end", () => {
    const sheet = sheetOf();
    sheet.getRange("A1:B1").formulas = [["=B1+1", "=A1+1"]];
    assert.deepStrictEqual(sheet.getRange("A1").values, [["#NAME?"]]);
    sheet.getRange("C1").formulas = [["=C1"]];
    assert.deepStrictEqual(sheet.getRange("C1").values, [["#NAME?"]]);
  });
});

describe("formats", () => {
  test("fill and font, uniform or null across the cells", () => {
    const sheet = sheetOf();
    const fmt = sheet.getRange("A1:C1").format;
    const look = () => [fmt.fill.color, fmt.font.bold, fmt.font.color, fmt.font.italic, fmt.font.size];
    assert.deepStrictEqual(look(), ["#FFFFFF", false, "#000000", false, 11]);
    fmt.fill.color = "navy";
    fmt.font.bold = true;
    fmt.font.color = "#fc0";
    fmt.font.italic = true;
    fmt.font.size = 14;
    assert.deepStrictEqual(look(), ["#000080", true, "#FFCC00", true, 14]);
    assert.equal(sheet.getRange("A1:D1").format.font.bold, null);
    assert.throws(() => (fmt.fill.color = "blurple"), /Invalid color/);
    assert.throws(() => (fmt.font.bold = 1), /Invalid value for bold/);
    assert.throws(() => (fmt.font.size = 0), /Invalid font size/);
    fmt.fill.clear();
    assert.equal(fmt.fill.color, "#FFFFFF");
    fmt.autofitColumns();
  });
});

describe("ranges and sheets", () => {
  test("used range, relative ranges and clearing", () => {
    const sheet = sheetOf();
    assert.equal(sheet.getUsedRange().address, "Sheet1!A1");
    sheet.getRange("B2").values = [[1]];
    sheet.getRange("D5").values = [["x"]];
    sheet.getRange("F1").format.fill.color = "red";
    assert.equal(sheet.getUsedRange().address, "Sheet1!B1:F5");
    assert.equal(sheet.getUsedRange(true).address, "Sheet1!B2:D5");
    const rng = sheet.getRange("B2:C3");
    assert.equal(rng.getCell(1, 1).address, "Sheet1!C3");
    assert.equal(rng.getOffsetRange(1, 2).address, "Sheet1!D3:E4");
    assert.equal(rng.getResizedRange(2, -1).address, "Sheet1!B2:B5");
    assert.equal(sheet.getCell(0, 0).address, "Sheet1!A1");
    assert.equal(sheet.getRange("A1:C9").getUsedRange().address, "Sheet1!B1:C5");
    assert.throws(() => rng.getOffsetRange(-5, 0), /beyond the worksheet/);
    assert.throws(() => rng.getResizedRange(0, -2), /beyond the worksheet/);
    assert.throws(() => rng.getCell(0.5, 0), /whole number/);
    assert.throws(() => sheet.getRange("H8").getUsedRange(), /no used cells/);
    sheet.getRange("A1:E9").clear();
    assert.equal(sheet.getUsedRange().address, "Sheet1!F1");
  });

  test("a whole sheet is refused for reads and writes, and summed without visiting blanks", () => {
    const sheet = sheetOf();
    const all = sheet.getRange("A1:XFD1048576");
    assert.equal(all.cellCount, 17179869184);
    for (const touch of [() => all.values, () => (all.values = 1), () => all.format.fill.color, () => (all.format.font.bold = true)]) {
      assert.throws(touch, /A1:XFD1048576 has 17179869184 cells; at most 1000000/);
    }
    sheet.getRange("C3:D3").values = [[2, "x"]];
    sheet.getRange("A1").formulas = [["=SUM(A2:XFD1048576)+COUNT(B1:XFD1048576)"]];
    assert.deepStrictEqual(sheet.getRange("A1").values, [[3]]);
    all.clear();
    assert.deepStrictEqual(sheet.getRange("A1:D3").values, Array(3).fill(["", "", "", ""]));
  });

  test("the collection: add, find, index, slice, rename, activate, delete", () => {
    const book = new Workbook();
    const sheets = book.worksheets;
    assert.equal(sheets.add("Data").name, "Data");
    assert.equal(sheets.add().name, "Sheet3");
    assert.throws(() => sheets.add("data"), /already exists/);
    assert.throws(() => sheets.add("a:b"), /Invalid worksheet name/);
    assert.equal(sheets.getActiveWorksheet().name, "Sheet1");
    assert.equal(sheets.getitem("-1").name, "Sheet3");
    assert.deepStrictEqual(sheets.getitem("1:3:").map((s) => s.name), ["Data", "Sheet3"]);
    assert.deepStrictEqual(sheets.getitem("::-2").map((s) => s.name), ["Sheet3", "Sheet1"]);
    assert.equal(sheets.getitem("data").position, 1);
    assert.throws(() => sheets.getitem("7"), /out of range/);
    assert.throws(() => sheets.getItem("Nope"), /does not exist/);
    const data = sheets.getItem("Data");
    const rng = data.getRange("A1");
    data.name = "My Data";
    assert.equal(rng.address, "'My Data'!A1");
    assert.throws(() => (data.name = "sheet1"), /already exists/);
    assert.throws(() => data.getRange("Sheet1!A1"), /not on worksheet/);
    data.activate();
    assert.equal(book.snapshot().sheet, "My Data");
    data.delete();
    assert.deepStrictEqual(book.snapshot().sheets, ["Sheet1", "Sheet3"]);
    assert.equal(book.snapshot().sheet, "Sheet1");
    sheets.getItem("Sheet3").delete();
    assert.throws(() => sheets.getItem("Sheet1").delete(), /at least one worksheet/);
  });

  test("union and intersection", () => {
    const sheet = sheetOf();
    const [a, b] = [sheet.getRange("A1:B2"), sheet.getRange("B2:C3")];
    const union = new Union().call([a, b], {});
    assert.deepStrictEqual([union.typeName, union.address, union.areaCount, union.cellCount], ["RangeAreas", "Sheet1!A1:B2,Sheet1!B2:C3", 2, 7]);
    union.format.fill.color = "yellow";
    assert.equal(sheet.getRange("C3").format.fill.color, "#FFFF00");
    assert.equal(new Union().call([a, a], {}).typeName, "Range");
    const both = new Intersect().call([a, b], {});
    assert.deepStrictEqual([both.typeName, both.address], ["Range", "Sheet1!B2"]);
    assert.equal(new Intersect().call([a, sheet.getRange("D4")], {}), null);
    assert.deepStrictEqual(union.areas.map((r) => r.address), ["Sheet1!A1:B2", "Sheet1!B2:C3"]);
    const other = new Workbook().worksheets.getActiveWorksheet().getRange("A1");
    assert.throws(() => new Union().call([a, other], {}), /one worksheet/);
    assert.throws(() => new Union().call([a, 1], {}), /only ranges/);
    assert.throws(() => new Intersect().call([], {}), /at least one range/);
  });
});

describe("events and the grid", () => {
  test("edits reach the sheet's handlers after the write; formatting and other sheets do not", async () => {
    const book = new Workbook({ sheets: ["Sheet1", "Other"] });
    const sheet = sheetOf(book);
    const heard = [];
    sheet.onChanged.add((event) => heard.push(event));
    sheet.getRange("B2:C2").values = [[1, 2]];
    assert.deepStrictEqual(heard, [], "handlers run after the write returns");
    sheet.getRange("A1").format.fill.color = "red";
    book.worksheets.getItem("Other").getRange("A1").values = [[1]];
    sheet.getRange("D4").formulas = [["=1"]];
    await tick();
    assert.deepStrictEqual(heard, [
      { type: "WorksheetChanged", changeType: "RangeEdited", worksheet: "Sheet1", address: "B2:C2" },
      { type: "WorksheetChanged", changeType: "RangeEdited", worksheet: "Sheet1", address: "D4" },
    ]);
    assert.throws(() => sheet.onChanged.add(5), /must be a function/);
  });

  test("subscribers hear every change; the snapshot holds the active sheet's cells", () => {
    const book = new Workbook();
    let changes = 0;
    const stop = book.subscribe(() => changes++);
    const sheet = sheetOf(book);
    sheet.getRange("A2:B2").values = [[1234.5, true]];
    sheet.getRange("A2").numberFormat = [["#,##0.00"]];
    const font = sheet.getRange("B2").format.font;
    font.italic = true;
    font.color = "red";
    sheet.getRange("C3").formulas = [["=A2*2"]];
    book.worksheets.add("Next");
    assert.equal(changes, 6);
    stop();
    sheet.getRange("A1").values = [["x"]];
    assert.equal(changes, 6);
    assert.deepStrictEqual(book.snapshot(), {
      sheet: "Sheet1",
      sheets: ["Sheet1", "Next"],
      cells: {
        A1: { value: "x", text: "x", fill: "#FFFFFF", fontColor: "#000000", bold: false, italic: false },
        A2: { value: 1234.5, text: "1,234.50", fill: "#FFFFFF", fontColor: "#000000", bold: false, italic: false },
        B2: { value: true, text: "TRUE", fill: "#FFFFFF", fontColor: "#FF0000", bold: false, italic: true },
        C3: { value: 2469, text: "2469", fill: "#FFFFFF", fontColor: "#000000", bold: false, italic: false },
      },
    });
    assert.deepStrictEqual(book.snapshot("Next").cells, {});
  });
});
