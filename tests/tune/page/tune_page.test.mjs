// qualvex tune's page in a real headless Chromium, as a compositor uses it: the installed program
// serves the demo plate, the page lists the tool's controls, a click on the screen sets the key
// colour (in HSV the Value sliders show its HSV components, computed here from the colour-space
// rules), a Channel button hides the other sliders, a window edit changes the matte, the Finish
// panel's clip changes it as the clip's rule says, and the saved settings (the finish with them)
// make `qualvex key --settings` reproduce the page's result bit for bit.
//
// Environment: QUALVEX (the installed program), CHROMIUM (the browser, default /usr/bin/chromium),
// QUALVEX_TEST_ARTEFACTS (where the screenshot goes).
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn, execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, mkdirSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const qualvex = process.env.QUALVEX;
const browserPath = process.env.CHROMIUM || "/usr/bin/chromium";
const work = mkdtempSync(path.join(tmpdir(), "qualvex-tune-page-"));
const artefacts = process.env.QUALVEX_TEST_ARTEFACTS || path.join(work, "artefacts");

let server, url, browser, page;

// ---- an independent reading of the colour-space rules and of an uncompressed EXR ------------

const f = Math.fround;

// RGB to HSV as the tool's colour model defines it: single precision where it says so.
function rgbToHsv(r, g, b) {
  const lo = r >= g ? g : r;
  const min = lo < b ? lo : b;
  const hi = r > g ? r : g;
  const max = hi > b ? hi : b;
  const v = f(max);
  const delta = max - min;
  if (delta < 0.00001 || max <= 0) return [0, 0, v];
  const s = f(delta / max);
  let h;
  if (r >= max) h = f(g - b) / delta;
  else if (g >= max) h = f(b - r) / delta + 2;
  else h = f(r - g) / delta + 4;
  let degrees = f(f(h) * 60);
  if (!(degrees >= 0)) degrees = f(degrees + 360);
  return [f(degrees * f(1 / 360)), s, v];
}

// The channels of a single-part, scanline, uncompressed EXR as Float32Arrays by name.
function readUncompressedExr(file) {
  const data = readFileSync(file);
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  assert.equal(view.getUint32(0, true), 20000630, `${file}: not an EXR`);
  let at = 8;
  const text = () => {
    const end = data.indexOf(0, at);
    const s = data.toString("latin1", at, end);
    at = end + 1;
    return s;
  };
  const header = {};
  for (;;) {
    const name = text();
    if (name === "") break;
    text();  // the attribute's type
    const size = view.getInt32(at, true);
    header[name] = { at: at + 4, size };
    at += 4 + size;
  }
  assert.equal(data[header.compression.at], 0, `${file}: compressed`);
  const box = header.dataWindow.at;
  const [xMin, yMin, xMax, yMax] = [0, 4, 8, 12].map((o) => view.getInt32(box + o, true));
  const width = xMax - xMin + 1;
  const height = yMax - yMin + 1;
  const channels = [];
  for (let c = header.channels.at; data[c] !== 0; ) {
    const end = data.indexOf(0, c);
    const name = data.toString("latin1", c, end);
    const type = view.getInt32(end + 1, true);
    channels.push({ name, bytes: type === 1 ? 2 : 4, type });
    c = end + 1 + 16;
  }
  assert.ok(channels.every((c) => c.type === 2), `${file}: every channel should be 32-bit float`);
  const planes = Object.fromEntries(channels.map((c) => [c.name, new Float32Array(width * height)]));
  at += 8 * height;  // the line offset table: the lines follow in order
  for (let line = 0; line < height; ++line) {
    const y = view.getInt32(at, true) - yMin;
    at += 8;
    for (const c of channels)
      for (let x = 0; x < width; ++x, at += 4) planes[c.name][y * width + x] = view.getFloat32(at, true);
  }
  return { width, height, planes };
}

// ---- the page ------------------------------------------------------------------------------

function controlInput(id) {
  return page.locator(`.control[data-id="${id}"] input[type="number"]`);
}

async function viewReady() {
  return page.locator("#view").getAttribute("data-ready");
}

// Waits for a full-size view newer than `since`.
async function waitForView(since) {
  await page.waitForFunction(
    (previous) => {
      const view = document.getElementById("view");
      return view.dataset.ready !== previous && view.dataset.scale === "1" && view.complete;
    },
    since,
  );
}

async function mattePixels() {
  return page.evaluate(() => {
    const image = document.getElementById("view");
    const canvas = document.createElement("canvas");
    canvas.width = image.naturalWidth;
    canvas.height = image.naturalHeight;
    const context = canvas.getContext("2d");
    context.drawImage(image, 0, 0);
    return Array.from(context.getImageData(0, 0, canvas.width, canvas.height).data.filter((_, i) => i % 4 === 0));
  });
}

async function api(pathAndQuery) {
  const token = new URL(url).searchParams.get("token");
  return page.request.get(new URL(pathAndQuery, url).href, { headers: { "X-Qualvex-Token": token } });
}

async function clickFramePixel(x, y) {
  const box = await page.locator("#view").boundingBox();
  const session = await (await api("/api/session")).json();
  await page.mouse.click(box.x + ((x + 0.5) / session.width) * box.width, box.y + ((y + 0.5) / session.height) * box.height);
}

before(async () => {
  assert.ok(qualvex, "QUALVEX must name the installed qualvex program");
  mkdirSync(artefacts, { recursive: true });
  execFileSync(qualvex, ["demo", "-o", path.join(work, "demo"), "-q"]);
  server = spawn(qualvex, ["tune", path.join(work, "demo", "plate.exr"), "--settings",
    path.join(work, "demo", "settings.json")], { stdio: ["ignore", "pipe", "inherit"] });
  url = await new Promise((resolve, reject) => {
    let out = "";
    server.stdout.on("data", (chunk) => {
      out += chunk;
      const found = out.match(/open (http:\/\/127\.0\.0\.1:\d+\/\?token=[0-9a-f]{32})/);
      if (found) resolve(found[1]);
    });
    server.on("exit", (code) => reject(new Error(`qualvex tune ended with ${code}: ${out}`)));
  });
  browser = await chromium.launch({ executablePath: browserPath, args: ["--no-sandbox"] });
  page = await browser.newPage({ viewport: { width: 1600, height: 1000 } });
  await page.goto(url);
  await page.waitForSelector('body[data-ready="true"]');
  await waitForView(null);
});

after(async () => {
  if (page) await page.screenshot({ path: path.join(artefacts, "tune-page.png") }).catch(() => {});
  if (browser) await browser.close();
  if (server && server.exitCode === null) {
    const ended = new Promise((resolve) => server.on("exit", resolve));
    server.kill("SIGINT");
    await ended;
  }
  rmSync(work, { recursive: true, force: true });
});

test("the page lists the tool's controls from the instance", async () => {
  const controls = await (await api("/api/controls")).json();
  const editable = controls.filter((c) => ["slider", "colour", "combo", "multibutton", "checkbox"].includes(c.kind));
  const rows = await page.locator("#controls .control[data-id]").evaluateAll((r) => r.map((e) => e.dataset.id));
  assert.deepEqual(rows, editable.map((c) => c.id));
  for (const c of editable)
    assert.equal(await page.locator(`.control[data-id="${c.id}"] label`).textContent(), c.name);
  const entries = await page.locator('select[name="Colorspace"] option').allTextContents();
  assert.deepEqual(entries, ["RGB", "HSV", "YXy", "YUV", "YCbCr"]);
  assert.equal(await controlInput("FadeRed").inputValue(), "0.7");  // from the settings file
});

test("clicking the screen in HSV fills the Value sliders with the key colour's HSV components", async () => {
  let since = await viewReady();
  await page.selectOption('select[name="Colorspace"]', { label: "HSV" });
  await waitForView(since);
  since = await viewReady();
  await clickFramePixel(24, 24);  // the green screen at the top left
  await waitForView(since);
  const key = ["CRed", "CGreen", "CBlue"];
  const colour = [];
  for (const id of key) colour.push(Number(await controlInput(id).inputValue()));
  assert.ok(colour[1] > colour[0] && colour[1] > colour[2], `a green key colour, not ${colour}`);
  const controls = await (await api("/api/controls")).json();
  const held = Object.fromEntries(controls.map((c) => [c.id, c.value]));
  const hsv = rgbToHsv(held.CRed, held.CGreen, held.CBlue);
  const sliders = ["ValueRed", "ValueGreen", "ValueBlue"];
  for (let i = 0; i < 3; ++i) {
    assert.equal(f(held[sliders[i]]), hsv[i], `${sliders[i]} holds the HSV component`);
    // The panel shows it to nine significant digits.
    assert.equal(Number(await controlInput(sliders[i]).inputValue()), Number(hsv[i].toPrecision(9)));
  }
});

test("a Channel button shows that component's sliders and hides the others", async () => {
  const group = page.locator('.control[data-id="Channel"] button');
  await group.filter({ hasText: "1" }).click();
  await page.waitForFunction(() => document.querySelector('.control[data-id="ValueRed"]').hidden);
  assert.equal(await page.locator('.control[data-id="ValueRed"]').isVisible(), false);
  assert.equal(await page.locator('.control[data-id="ValueGreen"]').isVisible(), true);
  assert.equal(await page.locator('.control[data-id="MinBlue"]').isVisible(), false);
  await group.filter({ hasText: "0" }).click();
  await page.waitForFunction(() => !document.querySelector('.control[data-id="ValueRed"]').hidden);
  assert.equal(await page.locator('.control[data-id="ValueGreen"]').isVisible(), false);
});

test("a window edit changes the matte view's pixels", async () => {
  const before = await mattePixels();
  const since = await viewReady();
  await controlInput("MaxRed").fill("0.2");
  await controlInput("MaxRed").press("Enter");
  await waitForView(since);
  const afterEdit = await mattePixels();
  assert.equal(afterEdit.length, before.length);
  const changed = afterEdit.filter((v, i) => v !== before[i]).length;
  assert.ok(changed > 0, "the matte should change");
  assert.equal(Number((await (await api("/api/controls")).json()).find((c) => c.id === "MaxRed").value), 0.2);
});

test("an edge region dragged in edge mode is drawn until the marks are cleared", async () => {
  await page.selectOption("#mouse-mode", "edge");
  const box = await page.locator("#view").boundingBox();
  await page.mouse.move(box.x + 10, box.y + 10);
  await page.mouse.down();
  await page.mouse.move(box.x + 60, box.y + 40);
  await page.mouse.up();
  assert.equal(await page.locator("#marks .mark.edge").count(), 1);
  await page.click("#clear-marks");
  assert.equal(await page.locator("#marks .mark").count(), 0);
  await page.selectOption("#mouse-mode", "pick");
});

test("the Finish panel lists the finishing tool's controls, and clipping there finishes the matte view", async () => {
  const controls = await (await api("/api/finish")).json();
  const editable = controls.filter((c) => ["slider", "colour", "combo", "multibutton", "checkbox"].includes(c.kind));
  const rows = await page.locator("#finish-controls .control[data-id]").evaluateAll((r) => r.map((e) => e.dataset.id));
  assert.deepEqual(rows, editable.map((c) => c.id));
  assert.ok(rows.includes("Shrink") && rows.includes("Soften") && rows.includes("Despill"), `rows: ${rows}`);
  const before = await mattePixels();
  const since = await viewReady();
  await controlInput("ClipBlack").fill("0.5");
  await controlInput("ClipBlack").press("Enter");
  await waitForView(since);
  const clipped = await mattePixels();
  assert.equal(clipped.length, before.length);
  // Alpha a becomes (a - 0.5) / 0.5, clamped: at most 0.5 gives 0; in 8 bits, v becomes about
  // 2 v - 255 (each side rounded once).
  let between = 0;
  for (let i = 0; i < before.length; ++i) {
    const v = before[i];
    const expected = v <= 127 ? 0 : Math.max(0, 2 * v - 255);
    assert.ok(Math.abs(clipped[i] - expected) <= 2, `pixel ${i}: ${v} clipped to ${clipped[i]}, not about ${expected}`);
    between += v > 128 && v < 255 ? 1 : 0;
  }
  assert.ok(between > 0, "the plate should have soft pixels to clip");
  assert.equal((await (await api("/api/finish")).json()).find((c) => c.id === "ClipBlack").value, 0.5);
  // Softened too: the saved settings below must reproduce a finished result.
  const softened = await viewReady();
  await controlInput("Soften").fill("2");
  await controlInput("Soften").press("Enter");
  await waitForView(softened);
  const soft = await mattePixels();
  assert.ok(soft.some((v, i) => v !== clipped[i]), "softening should change the matte");
});

test("saved settings make qualvex key reproduce the page's result bit for bit", async () => {
  assert.equal((await (await api("/api/finish")).json()).find((c) => c.id === "Soften").value, 2, "finished");
  const settings = path.join(work, "page-settings.json");
  await page.fill("#settings-path", settings);
  await page.click("#save");
  await page.waitForFunction(() => document.getElementById("command").textContent.includes("qualvex key"));
  assert.match(await page.locator("#command").textContent(), /--settings '.*page-settings\.json'/);

  const result = await api("/api/result?frame=0");
  assert.equal(result.status(), 200);
  const width = Number(result.headers()["x-qualvex-width"]);
  const bytes = await result.body();
  const shown = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);

  const keyed = path.join(work, "keyed.exr");
  // The result stored as the host holds it (EXR stores associated colour; "associated" says the
  // result is so already), uncompressed float, so the file's bits are the result's.
  execFileSync(qualvex, ["key", path.join(work, "demo", "plate.exr"), "-o", keyed, "--settings", settings,
    "--compression", "none", "--data-type", "float", "--alpha", "associated", "-q"]);
  const file = readUncompressedExr(keyed);
  assert.equal(file.width, width);
  assert.equal(shown.length, file.width * file.height * 4);
  const asBits = (x) => new Uint32Array(new Float32Array([x]).buffer)[0];
  let differing = 0;
  let first = "";
  ["R", "G", "B", "A"].forEach((name, c) => {
    const plane = file.planes[name];
    for (let i = 0; i < plane.length; ++i)
      if (asBits(plane[i]) !== asBits(shown[i * 4 + c])) {
        if (!differing) first = `${name} of pixel ${i}: file ${plane[i]}, page ${shown[i * 4 + c]}`;
        ++differing;
      }
  });
  assert.equal(differing, 0, `values differ, first ${first}`);
});
