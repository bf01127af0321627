// qualvex tune's page: the keyer's and the finishing tool's control pages and a viewer, drawn
// from the server's API. Nothing about the tools is known here: the controls, their kinds, ranges,
// entries and visibility come from the instances, and every view is rendered by the tools.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);

const state = {
  session: null,
  // Per tool, id -> {description, row, inputs}.
  controls: { keyer: new Map(), finish: new Map() },
  view: "matte",
  frame: 0,
  zoom: 1,
  panX: 0,
  panY: 0,
  marks: { screen: [], subject: [], edge: [] },
  viewRequest: 0,        // the latest view asked for; older answers are dropped
};

// Where the tools' controls go, and the route that lists and sets them.
const tools = {
  keyer: { form: "controls", route: "/api/controls" },
  finish: { form: "finish-controls", route: "/api/finish" },
};

const legends = {
  source: "The plate as stored, clamped to 0..1.",
  matte: "The alpha: white kept, black keyed (finished when a Finish control is set).",
  checker: "The result over a checkerboard (its colour associated with colour correction on or the matte alone, " +
    "else straight; finished when a Finish control is set).",
  background: "The result over the background image (associated with colour correction on or the matte alone, " +
    "else straight; finished when a Finish control is set).",
  rejection: "Which components lie outside the keyer's windows: red p1, green p2, blue p3 (white: all three). " +
    "Black pixels lie inside every window.",
};

function setStatus(text, error = false) {
  const status = $("status");
  status.textContent = text;
  status.classList.toggle("error", error);
}

async function api(method, path, body) {
  const options = { method, headers: { "X-Qualvex-Token": token }, credentials: "same-origin" };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  if (!response.ok) {
    let message = `HTTP ${response.status}`;
    try { message = (await response.json()).error || message; } catch (_) { /* not JSON */ }
    throw new Error(message);
  }
  const type = response.headers.get("Content-Type") || "";
  return type.startsWith("application/json") ? response.json() : response.blob();
}

// ---- controls -----------------------------------------------------------------------------

function numberText(value) {
  return typeof value === "number" ? String(Number(value.toPrecision(9))) : String(value);
}

function buildControl(control, tool) {
  const row = document.createElement("div");
  row.className = `control ${control.kind}-kind`;
  row.dataset.id = control.id;
  const label = document.createElement("label");
  label.textContent = control.name;
  label.title = control.id;
  row.append(label);
  const inputs = {};
  const send = (value, proxy) => edit([{ tool, id: control.id, value }], proxy);

  if (control.kind === "slider" || control.kind === "colour") {
    const range = document.createElement("input");
    range.type = "range";
    range.min = control.min;
    range.max = control.max;
    range.step = (control.max - control.min) / 1000 || "any";
    range.setAttribute("aria-label", control.name);
    const number = document.createElement("input");
    number.type = "number";
    number.step = "any";
    number.setAttribute("aria-label", `${control.name} value`);
    number.name = control.id;
    range.addEventListener("input", () => { number.value = range.value; send(Number(range.value), true); });
    range.addEventListener("change", () => send(Number(range.value), false));
    number.addEventListener("change", () => {
      if (number.value !== "" && Number.isFinite(Number(number.value))) send(Number(number.value), false);
    });
    row.append(range, number);
    inputs.range = range;
    inputs.number = number;
  } else if (control.kind === "combo") {
    const select = document.createElement("select");
    select.name = control.id;
    select.setAttribute("aria-label", control.name);
    control.entries.forEach((entry, i) => select.append(new Option(entry, i)));
    select.addEventListener("change", () => send(Number(select.value), false));
    const spacer = document.createElement("span");
    row.append(select, spacer);
    inputs.select = select;
  } else if (control.kind === "multibutton") {
    const buttons = document.createElement("div");
    buttons.className = "buttons";
    buttons.setAttribute("role", "group");
    buttons.setAttribute("aria-label", control.name);
    inputs.buttons = control.entries.map((entry, i) => {
      const button = document.createElement("button");
      button.type = "button";
      button.textContent = entry;
      button.dataset.value = i;
      button.addEventListener("click", () => send(i, false));
      buttons.append(button);
      return button;
    });
    row.append(buttons);
  } else if (control.kind === "checkbox") {
    const box = document.createElement("input");
    box.type = "checkbox";
    box.name = control.id;
    box.setAttribute("aria-label", control.name);
    box.addEventListener("change", () => send(box.checked ? 1 : 0, false));
    row.append(box);
    inputs.checkbox = box;
  } else {
    return null;  // labels and image inputs have nothing to edit
  }
  return { row, inputs };
}

function showControls(list, tool = "keyer") {
  const form = $(tools[tool].form);
  const known = state.controls[tool];
  for (const control of list) {
    let entry = known.get(control.id);
    if (!entry) {
      const built = buildControl(control, tool);
      if (!built) {
        if (control.kind === "label" && control.name.trim()) {
          const note = document.createElement("div");
          note.className = "control label-kind";
          note.textContent = control.name;
          form.append(note);
        }
        known.set(control.id, { description: control, row: null, inputs: {} });
        continue;
      }
      entry = { description: control, ...built };
      known.set(control.id, entry);
      form.append(entry.row);
    }
    entry.description = control;
    if (!entry.row) continue;
    entry.row.hidden = !control.visible;
    const { inputs } = entry;
    const value = control.value;
    if (inputs.number && document.activeElement !== inputs.number) inputs.number.value = numberText(value);
    if (inputs.range && document.activeElement !== inputs.range) inputs.range.value = value;
    if (inputs.select) inputs.select.value = String(Math.floor(value + 0.5));
    if (inputs.checkbox) inputs.checkbox.checked = value === 1;
    if (inputs.buttons)
      inputs.buttons.forEach((b, i) => b.setAttribute("aria-pressed", String(i === Math.floor(value + 0.5))));
  }
  if (tool === "keyer") showKeyColourSwatch();
}

// Both tools' controls as the instances hold them now.
async function reloadControls() {
  for (const tool of Object.keys(tools)) showControls(await api("GET", tools[tool].route), tool);
}

function showKeyColourSwatch() {
  const keyer = state.controls.keyer;
  const red = keyer.get("CRed");
  if (!red || !red.row) return;
  let swatch = red.row.querySelector(".swatch");
  if (!swatch) {
    swatch = document.createElement("div");
    swatch.className = "swatch";
    swatch.title = "The key colour";
    red.row.querySelector("label").after(swatch);
    red.row.querySelector("input[type=range]").remove();
    red.inputs.range = null;
  }
  const part = (id) => Math.round(255 * Math.min(1, Math.max(0, keyer.get(id)?.description.value ?? 0)));
  swatch.style.background = `rgb(${part("CRed")}, ${part("CGreen")}, ${part("CBlue")})`;
}

// Edits go one at a time; while one is on its way, the next waits and later ones replace it.
let editInFlight = false;
let pendingEdit = null;

function edit(values, proxy) {
  pendingEdit = { values: pendingEdit && proxy ? mergeEdits(pendingEdit.values, values) : values, proxy };
  if (!editInFlight) sendEdits();
}

function mergeEdits(earlier, later) {
  const ids = new Set(later.map((v) => `${v.tool}:${v.id}`));
  return earlier.filter((v) => !ids.has(`${v.tool}:${v.id}`)).concat(later);
}

async function sendEdits() {
  editInFlight = true;
  while (pendingEdit) {
    const { values, proxy } = pendingEdit;
    pendingEdit = null;
    try {
      for (const tool of Object.keys(tools)) {
        const set = values.filter((v) => v.tool === tool).map(({ id, value }) => ({ id, value }));
        if (set.length) showControls(await api("POST", tools[tool].route, { set }), tool);
      }
      await refreshView(proxy ? 2 : 1);
      setStatus(`set ${values.map((v) => v.id).join(", ")}`);
    } catch (error) {
      setStatus(error.message, true);
      await reloadControls().catch(() => null);
    }
  }
  editInFlight = false;
}

// ---- the viewer ---------------------------------------------------------------------------

async function refreshView(step = 1) {
  const request = ++state.viewRequest;
  const scale = 1 / step;
  const started = performance.now();
  const blob = await api("GET", `/api/view?view=${state.view}&frame=${state.frame}&scale=${scale}`);
  if (request !== state.viewRequest) return;
  const image = $("view");
  const old = image.src;
  await new Promise((resolve) => {
    image.onload = resolve;
    image.onerror = resolve;
    image.src = URL.createObjectURL(blob);
  });
  if (old) URL.revokeObjectURL(old);
  image.dataset.scale = String(scale);
  image.dataset.view = state.view;
  image.dataset.ready = String(request);
  const took = Math.round(performance.now() - started);
  setStatus(`${state.view} ${step === 1 ? "full size" : "1/" + step} in ${took} ms`);
  if (step === 1) refreshStats();
}

async function refreshStats() {
  try {
    const s = await api("GET", `/api/stats?frame=${state.frame}&scale=1`);
    const pct = (x) => `${(100 * x).toFixed(1)} %`;
    $("stats").textContent = `matte: ${pct(s.zero)} keyed (0), ${pct(s.one)} kept (1), ${pct(s.between)} between`;
  } catch (error) {
    $("stats").textContent = error.message;
  }
}

function selectView(view) {
  state.view = view;
  for (const button of document.querySelectorAll("#views button"))
    button.setAttribute("aria-pressed", String(button.dataset.view === view));
  $("legend").textContent = legends[view];
  refreshView(1).catch((error) => setStatus(error.message, true));
}

function applyTransform() {
  $("stage").style.transform = `translate(${state.panX}px, ${state.panY}px) scale(${state.zoom})`;
}

function zoomToFit() {
  const viewport = $("viewport").getBoundingClientRect();
  const { width, height } = state.session;
  state.zoom = Math.min(viewport.width / width, viewport.height / height, 8) || 1;
  state.panX = (viewport.width - width * state.zoom) / 2;
  state.panY = (viewport.height - height * state.zoom) / 2;
  applyTransform();
}

// The frame's pixel under the pointer (origin top-left, whole pixels, clamped to the frame).
function framePixel(event) {
  const box = $("view").getBoundingClientRect();
  const { width, height } = state.session;
  const x = Math.floor(((event.clientX - box.left) / box.width) * width);
  const y = Math.floor(((event.clientY - box.top) / box.height) * height);
  return { x: Math.min(width - 1, Math.max(0, x)), y: Math.min(height - 1, Math.max(0, y)) };
}

function drawMarks(extra) {
  const marks = $("marks");
  marks.replaceChildren();
  const add = (kind, r) => {
    const box = document.createElement("div");
    box.className = `mark ${kind}`;
    Object.assign(box.style, { left: `${r[0]}px`, top: `${r[1]}px`, width: `${r[2]}px`, height: `${r[3]}px` });
    marks.append(box);
  };
  state.marks.screen.forEach((r) => add("screen", r));
  state.marks.subject.forEach((r) => add("subject", r));
  state.marks.edge.forEach((r) => add("edge", r));
  if (extra) add(extra.kind, extra.rect);
  $("fit").disabled = state.marks.screen.length === 0;
}

function rectBetween(a, b) {
  const x = Math.min(a.x, b.x), y = Math.min(a.y, b.y);
  return [x, y, Math.abs(a.x - b.x) + 1, Math.abs(a.y - b.y) + 1];
}

function setUpViewer() {
  const viewport = $("viewport");
  let drag = null;
  viewport.addEventListener("pointerdown", (event) => {
    const mode = event.button === 1 || event.altKey ? "pan" : $("mouse-mode").value;
    drag = { mode, start: framePixel(event), x: event.clientX, y: event.clientY, panX: state.panX, panY: state.panY };
    viewport.setPointerCapture(event.pointerId);
    event.preventDefault();
  });
  viewport.addEventListener("pointermove", (event) => {
    if (!drag) return;
    if (drag.mode === "pan") {
      state.panX = drag.panX + event.clientX - drag.x;
      state.panY = drag.panY + event.clientY - drag.y;
      applyTransform();
    } else {
      drawMarks({ kind: drag.mode, rect: rectBetween(drag.start, framePixel(event)) });
    }
  });
  viewport.addEventListener("pointerup", async (event) => {
    if (!drag) return;
    const { mode, start } = drag;
    drag = null;
    if (mode === "pan") return;
    const [x, y, width, height] = rectBetween(start, framePixel(event));
    if (mode === "pick") {
      drawMarks();
      try {
        showControls(await api("POST", "/api/pick", { frame: state.frame, x, y, width, height }));
        await refreshView(1);
        setStatus(`key colour: the median of ${width} x ${height} pixels at ${x},${y}`);
      } catch (error) {
        setStatus(error.message, true);
      }
    } else {
      state.marks[mode].push([x, y, width, height]);
      drawMarks();
    }
  });
  viewport.addEventListener("wheel", (event) => {
    event.preventDefault();
    const box = viewport.getBoundingClientRect();
    const px = event.clientX - box.left, py = event.clientY - box.top;
    const factor = Math.exp(-event.deltaY * 0.0015);
    const zoom = Math.min(64, Math.max(0.05, state.zoom * factor));
    state.panX = px - ((px - state.panX) * zoom) / state.zoom;
    state.panY = py - ((py - state.panY) * zoom) / state.zoom;
    state.zoom = zoom;
    applyTransform();
  }, { passive: false });
  $("zoom-fit").addEventListener("click", zoomToFit);
  $("zoom-one").addEventListener("click", () => { state.zoom = 1; state.panX = 0; state.panY = 0; applyTransform(); });
  $("clear-marks").addEventListener("click", () => { state.marks = { screen: [], subject: [], edge: [] }; drawMarks(); });
  for (const button of document.querySelectorAll("#views button"))
    button.addEventListener("click", () => selectView(button.dataset.view));
}

// ---- fit, save, load ----------------------------------------------------------------------

function setUpActions() {
  $("fit").addEventListener("click", async () => {
    setStatus("fitting...");
    try {
      const edges = $("fit-edges").checked ? "auto" : "none";
      const result = await api("POST", "/api/fit", { frame: state.frame, ...state.marks, edges });
      $("report").textContent = result.report;
      showControls(result.controls);
      await refreshView(1);
    } catch (error) {
      setStatus(error.message, true);
    }
  });
  $("save").addEventListener("click", async () => {
    try {
      const result = await api("POST", "/api/save", { path: $("settings-path").value, overwrite: $("overwrite").checked });
      $("command").textContent = result.command;
      setStatus(`saved ${result.path}`);
    } catch (error) {
      setStatus(error.message, true);
    }
  });
  $("load").addEventListener("click", async () => {
    try {
      showControls(await api("POST", "/api/load", { path: $("settings-path").value }));
      showControls(await api("GET", "/api/finish"), "finish");  // the file's finish, or the defaults
      await refreshView(1);
      setStatus(`loaded ${$("settings-path").value}`);
    } catch (error) {
      setStatus(error.message, true);
    }
  });
}

async function start() {
  try {
    state.session = await api("GET", "/api/session");
  } catch (error) {
    setStatus(`${error.message}`, true);
    return;
  }
  const { session } = state;
  $("source-name").textContent = `${session.source} (${session.width} x ${session.height})`;
  state.frame = session.frames[0];
  const view = $("view");
  view.style.width = `${session.width}px`;
  view.style.height = `${session.height}px`;
  document.querySelector('#views button[data-view="background"]').hidden = !session.background;
  if (session.frames.length > 1) {
    const slider = $("frame");
    slider.min = 0;
    slider.max = session.frames.length - 1;
    slider.value = 0;
    $("frame-number").textContent = state.frame;
    $("frame-control").hidden = false;
    slider.addEventListener("input", () => {
      state.frame = session.frames[Number(slider.value)];
      $("frame-number").textContent = state.frame;
      refreshView(2).catch((error) => setStatus(error.message, true));
    });
    slider.addEventListener("change", () => refreshView(1).catch((error) => setStatus(error.message, true)));
  }
  setUpViewer();
  setUpActions();
  await reloadControls();
  zoomToFit();
  selectView("matte");
  document.body.dataset.ready = "true";
}

start();
