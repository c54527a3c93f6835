// The live view's page: asks the server for each new raw frame and draws it itself, so
// that the colour map, the range, the readouts and the histogram work on the camera's own
// values. Infrared frames are 16-bit (little-endian), colour frames RGB bytes.
"use strict";

const $ = (id) => document.getElementById(id);
const text = (id, value) => { $(id).textContent = value; };
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

const HISTOGRAM_HEIGHT = 64;
const HISTOGRAM_BAR = [232, 234, 237];

const view = {
  settings: null,
  zoom: "fit",
  map: "inferno",
  range: "auto",          // auto | locked | manual
  lo: 0, hi: 0,           // the raw values at the ends of the colour map
  paused: false,
  resume: null,           // resolves the wait of a paused frame loop
  frame: null,            // {number, width, height, channels, data}
  box: null,              // {x0, y0, x1, y1} in frame pixels, inclusive
  dragging: false,
  cursor: null,           // {x, y} in frame pixels
  index: null, indexKey: "",         // indexTable()'s last answer
  packed: null, packedName: "",      // packedMap()'s last answer
  recording: false,
};

// -- calibration: what a raw value reads as ------------------------------------------------

function calibrated(raw) {
  const c = view.settings.calibration;
  return raw * c.scale + c.offset;
}

function isIdentity() {
  const c = view.settings.calibration;
  return c.scale === 1 && c.offset === 0 && !c.unit;
}

function valueText(raw, extraDecimals) {
  const c = view.settings.calibration;
  if (isIdentity()) return extraDecimals ? raw.toFixed(extraDecimals) : String(raw);
  return calibrated(raw).toFixed(c.decimals + (extraDecimals || 0)) + (c.unit ? " " + c.unit : "");
}

// "1234" or "1234 (27.35 °C)": the raw value and, calibrated, what it means.
function rawAndValue(raw, extraDecimals) {
  const rawText = extraDecimals ? raw.toFixed(extraDecimals) : String(raw);
  return isIdentity() ? rawText : rawText + " (" + valueText(raw, extraDecimals) + ")";
}

function rawOf(value) {
  const c = view.settings.calibration;
  return Math.round((value - c.offset) / c.scale);
}

// -- drawing --------------------------------------------------------------------------------

// The colour-map index of every raw value for the range in force: below lo 0, above hi
// 255, between them floor((v - lo) * 255 / (hi - lo)). Only the values inside the range
// need the division, so a new range each frame (auto) costs little.
function indexTable() {
  const key = view.lo + ":" + view.hi;
  if (view.indexKey === key) return view.index;
  const index = view.index || new Uint8Array(65536);
  const lo = view.lo, hi = view.hi, span = Math.max(hi - lo, 1);
  index.fill(0, 0, lo + 1);
  index.fill(255, hi + 1);
  for (let v = lo + 1; v <= hi; v++) index[v] = Math.floor((v - lo) * 255 / span);
  view.index = index;
  view.indexKey = key;
  return index;
}

// The colour map as 256 RGBA words, in the byte order of ImageData on this machine.
function packedMap() {
  if (view.packedName === view.map) return view.packed;
  const packed = new Uint32Array(256);
  const bytes = new Uint8Array(packed.buffer);
  view.settings.colourMaps[view.map].forEach(([r, g, b], i) => bytes.set([r, g, b, 255], 4 * i));
  view.packed = packed;
  view.packedName = view.map;
  return packed;
}

function frameRange(data) {
  let lo = 65535, hi = 0;
  for (let i = 0; i < data.length; i++) {
    const v = data[i];
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  return [lo, hi];
}

function draw() {
  const frame = view.frame;
  if (!frame) return;
  const canvas = $("frame");
  if (canvas.width !== frame.width || canvas.height !== frame.height) {
    canvas.width = frame.width;
    canvas.height = frame.height;
  }
  const context = canvas.getContext("2d");
  const image = context.createImageData(frame.width, frame.height);
  const out = new Uint32Array(image.data.buffer);
  if (frame.channels === 1) {
    if (view.range === "auto") [view.lo, view.hi] = frameRange(frame.data);
    const index = indexTable(), colours = packedMap(), data = frame.data;
    for (let i = 0; i < out.length; i++) out[i] = colours[index[data[i]]];
  } else {
    const rgb = frame.data;
    for (let i = 0, j = 0; i < out.length; i++, j += 3) {
      out[i] = (255 << 24 | rgb[j + 2] << 16 | rgb[j + 1] << 8 | rgb[j]) >>> 0;
    }
  }
  context.putImageData(image, 0, 0);
  text("size", frame.width + "x" + frame.height);
  text("number", String(frame.number));
  layout();
  if (frame.channels === 1) {
    text("max", valueText(view.hi));
    text("min", valueText(view.lo));
    drawHistogram();
  }
  readCursor();
  readBox();
}

// The picture's size on the page: the frame's own (1:1), twice it, or the largest whole
// size that fits the window beside the colour bar and the panel.
function layout() {
  const frame = view.frame;
  if (!frame) return;
  let width = frame.width, height = frame.height;
  if (view.zoom === "2") {
    width *= 2;
    height *= 2;
  } else if (view.zoom === "fit") {
    const stage = $("stage").getBoundingClientRect();
    const beside = $("panel").offsetWidth + (view.settings.ir ? $("scale").offsetWidth : 0) + 40;
    const scale = Math.min((window.innerWidth - stage.left - beside) / frame.width,
                           (window.innerHeight - stage.top - 16) / frame.height);
    width = Math.max(1, Math.floor(frame.width * scale));
    height = Math.max(1, Math.floor(frame.height * scale));
  }
  const canvas = $("frame");
  canvas.style.width = width + "px";
  canvas.style.height = height + "px";
  fitBar(height);
  placeBox();
}

function fitBar(height) {
  const bar = $("colourBar");
  const src = "colorbar.png?map=" + encodeURIComponent(view.map) + "&height=" + height;
  if (view.settings.ir && bar.getAttribute("src") !== src) {
    bar.src = src;
    bar.style.height = height + "px";
  }
}

function drawHistogram() {
  // Counts per colour-map index: the bars line up with the colour bar's colours.
  const counts = new Uint32Array(256);
  const data = view.frame.data, index = indexTable();
  for (let i = 0; i < data.length; i++) counts[index[data[i]]]++;
  let most = 1;
  for (const count of counts) most = Math.max(most, count);
  const canvas = $("histogram");
  const context = canvas.getContext("2d");
  const image = context.createImageData(256, HISTOGRAM_HEIGHT);
  for (let x = 0; x < 256; x++) {
    const bar = Math.floor(counts[x] * HISTOGRAM_HEIGHT / most + 0.5);
    for (let y = HISTOGRAM_HEIGHT - bar; y < HISTOGRAM_HEIGHT; y++) {
      const at = (y * 256 + x) * 4;
      image.data.set(HISTOGRAM_BAR, at);
      image.data[at + 3] = 255;
    }
  }
  context.putImageData(image, 0, 0);
}

// -- readouts -------------------------------------------------------------------------------

function pixelAt(event) {
  const frame = view.frame;
  const rect = $("frame").getBoundingClientRect();
  const x = Math.floor((event.clientX - rect.left) * frame.width / rect.width);
  const y = Math.floor((event.clientY - rect.top) * frame.height / rect.height);
  return {x: Math.min(frame.width - 1, Math.max(0, x)), y: Math.min(frame.height - 1, Math.max(0, y))};
}

function readCursor() {
  const frame = view.frame;
  if (!frame || !view.cursor) return;
  const {x, y} = view.cursor;
  const at = y * frame.width + x;
  let value;
  if (frame.channels === 1) {
    value = rawAndValue(frame.data[at]);
  } else {
    const rgb = frame.data;
    value = "R " + rgb[3 * at] + " G " + rgb[3 * at + 1] + " B " + rgb[3 * at + 2];
  }
  text("cursor", "x " + x + ", y " + y + ": " + value);
}

function readBox() {
  const frame = view.frame;
  if (!frame || !view.box || frame.channels !== 1) return;
  const x0 = Math.min(view.box.x0, view.box.x1), x1 = Math.max(view.box.x0, view.box.x1);
  const y0 = Math.min(view.box.y0, view.box.y1), y1 = Math.max(view.box.y0, view.box.y1);
  let lo = 65535, hi = 0, sum = 0;
  for (let y = y0; y <= y1; y++) {
    for (let x = x0; x <= x1; x++) {
      const v = frame.data[y * frame.width + x];
      if (v < lo) lo = v;
      if (v > hi) hi = v;
      sum += v;
    }
  }
  const count = (x1 - x0 + 1) * (y1 - y0 + 1);
  text("boxSize", (x1 - x0 + 1) + "x" + (y1 - y0 + 1) + " at " + x0 + "," + y0);
  text("boxMin", rawAndValue(lo));
  text("boxMax", rawAndValue(hi));
  text("boxMean", rawAndValue(sum / count, 1));
  $("boxReadout").hidden = false;
}

function placeBox() {
  const outline = $("box");
  if (!view.box || !view.frame) {
    outline.hidden = true;
    return;
  }
  const canvas = $("frame");
  const sx = canvas.offsetWidth / view.frame.width, sy = canvas.offsetHeight / view.frame.height;
  const x0 = Math.min(view.box.x0, view.box.x1), x1 = Math.max(view.box.x0, view.box.x1);
  const y0 = Math.min(view.box.y0, view.box.y1), y1 = Math.max(view.box.y0, view.box.y1);
  outline.style.left = Math.floor(x0 * sx) + "px";
  outline.style.top = Math.floor(y0 * sy) + "px";
  outline.style.width = Math.ceil((x1 + 1) * sx) - Math.floor(x0 * sx) + "px";
  outline.style.height = Math.ceil((y1 + 1) * sy) - Math.floor(y0 * sy) + "px";
  outline.hidden = false;
}

function clearBox() {
  view.box = null;
  $("boxReadout").hidden = true;
  placeBox();
}

// -- controls -------------------------------------------------------------------------------

function mark(selector, attribute, value) {
  for (const button of document.querySelectorAll(selector)) {
    button.classList.toggle("on", button.dataset[attribute] === value);
  }
}

function setZoom(zoom) {
  view.zoom = zoom;
  mark("[data-zoom]", "zoom", zoom);
  layout();
}

function setMap(name) {
  view.map = name;
  mark("[data-map]", "map", name);
  draw();
}

function setRange(range) {
  const c = view.settings.calibration;
  if (range === "manual") {
    const lo = rawOf(Number($("rangeLo").value)), hi = rawOf(Number($("rangeHi").value));
    if (!Number.isFinite(lo) || !Number.isFinite(hi) || $("rangeLo").value.trim() === "" ||
        $("rangeHi").value.trim() === "") {
      message("type both ends of the range first (in " + (c.unit || "raw values") + ")");
      return;
    }
    view.lo = Math.max(0, Math.min(65535, Math.min(lo, hi)));
    view.hi = Math.max(0, Math.min(65535, Math.max(lo, hi)));
  }
  view.range = range;
  mark("[data-range]", "range", range);
  if (range !== "manual") {
    // The fields show the range in force, ready to be edited into a manual one.
    $("rangeLo").value = calibrated(view.lo).toFixed(c.decimals);
    $("rangeHi").value = calibrated(view.hi).toFixed(c.decimals);
  }
  draw();
}

function message(value) {
  text("message", value);
}

async function post(path, body) {
  const answer = await fetch(path, {method: "POST", headers: {"Content-Type": "application/json"},
                                    body: JSON.stringify(body)});
  const value = await answer.json();
  if (!answer.ok) throw new Error(value.error || answer.statusText);
  return value;
}

async function togglePause() {
  view.paused = !view.paused;
  $("pause").textContent = view.paused ? "resume" : "pause";
  $("pause").classList.toggle("on", view.paused);
  text("status", view.paused ? "paused" : "");
  const held = view.paused && view.frame ? view.frame.number : null;
  try {
    // The server keeps the frame the page stands on, so that a snapshot can name it.
    await post("hold", {frame: held});
    if (view.paused && held !== null) text("status", "paused at frame " + held);
  } catch (error) {
    message("pause: " + error.message);
  }
  if (!view.paused && view.resume) view.resume();
}

async function snapshot() {
  if (!view.frame) return;
  const body = {frame: view.frame.number};
  if (view.frame.channels === 1) Object.assign(body, {map: view.map, lo: view.lo, hi: view.hi});
  try {
    const answer = await post("snapshot", body);
    message("saved frame " + answer.frame + ": " + answer.files.join(", "));
  } catch (error) {
    message("snapshot: " + error.message);
  }
}

async function toggleRecord() {
  try {
    const answer = await post("record", {action: view.recording ? "stop" : "start"});
    showRecord(answer);
  } catch (error) {
    message("record: " + error.message);
  }
}

function showRecord(status) {
  view.recording = status.recording;
  $("record").textContent = status.recording ? "stop recording" : "record";
  $("record").classList.toggle("on", status.recording);
  if (status.recording) {
    message("recording: " + status.frames + " frames" +
            (status.dropped ? ", " + status.dropped + " dropped (the disk is behind)" : "") +
            (status.error ? " – " + status.error : ""));
  } else if (status.path) {
    message("recorded " + status.frames + " frames to " + status.path +
            (status.dropped ? " (" + status.dropped + " dropped)" : "") +
            (status.error ? " – " + status.error : ""));
  } else if (status.error) {
    message("record: " + status.error);
  }
}

async function watchRecord() {
  for (;;) {
    await sleep(500);
    if (!view.recording) continue;
    try {
      const stats = await (await fetch("stats.json")).json();
      if (view.recording) showRecord(stats.record);
    } catch (error) {
      return;
    }
  }
}

const KEYS = {
  " ": togglePause, "s": snapshot, "r": toggleRecord,
  "f": () => setZoom("fit"), "1": () => setZoom("1"), "2": () => setZoom("2"),
  "a": () => setRange("auto"), "l": () => setRange("locked"), "Escape": clearBox,
  "m": () => {
    const names = Object.keys(view.settings.colourMaps);
    setMap(names[(names.indexOf(view.map) + 1) % names.length]);
  },
};

function wireControls() {
  for (const button of document.querySelectorAll("[data-zoom]")) {
    button.addEventListener("click", () => setZoom(button.dataset.zoom));
  }
  const maps = $("maps");
  for (const name of Object.keys(view.settings.colourMaps)) {
    const button = document.createElement("button");
    button.type = "button";
    button.dataset.map = name;
    button.textContent = name;
    button.addEventListener("click", () => setMap(name));
    maps.appendChild(button);
  }
  for (const button of document.querySelectorAll("[data-range]")) {
    button.addEventListener("click", () => setRange(button.dataset.range));
  }
  for (const field of [$("rangeLo"), $("rangeHi")]) {
    field.addEventListener("keydown", (event) => {
      if (event.key === "Enter") setRange("manual");
      event.stopPropagation();  // typing a number is not a shortcut
    });
  }
  $("pause").addEventListener("click", togglePause);
  $("snapshot").addEventListener("click", snapshot);
  $("record").addEventListener("click", toggleRecord);
  document.addEventListener("keydown", (event) => {
    const action = KEYS[event.key];
    if (action && !event.ctrlKey && !event.altKey && !event.metaKey) {
      event.preventDefault();
      action();
    }
  });
  window.addEventListener("resize", layout);

  const canvas = $("frame");
  canvas.addEventListener("pointermove", (event) => {
    if (!view.frame) return;
    view.cursor = pixelAt(event);
    if (view.dragging) {
      view.box.x1 = view.cursor.x;
      view.box.y1 = view.cursor.y;
      placeBox();
      readBox();
    }
    readCursor();
  });
  canvas.addEventListener("pointerdown", (event) => {
    if (!view.frame || view.frame.channels !== 1 || event.button !== 0) return;
    const at = pixelAt(event);
    view.box = {x0: at.x, y0: at.y, x1: at.x, y1: at.y};
    view.dragging = true;
    canvas.setPointerCapture(event.pointerId);
    placeBox();
    readBox();
  });
  canvas.addEventListener("pointerup", () => { view.dragging = false; });
  mark("[data-zoom]", "zoom", view.zoom);
  mark("[data-map]", "map", view.map);
  mark("[data-range]", "range", view.range);
}

// -- frames ---------------------------------------------------------------------------------

// Asks for a frame newer than the one shown; the server holds the request until there is
// one. The picture and its numbers change together, in one task.
async function follow() {
  let shown = Number($("number").textContent) || 0;
  for (;;) {
    if (view.paused) {
      await new Promise((done) => { view.resume = done; });
      view.resume = null;
      continue;
    }
    let answer;
    try {
      answer = await fetch("frame?after=" + shown, {cache: "no-store"});
    } catch (error) {
      text("status", "server stopped");
      return;
    }
    if (!answer.ok) {
      text("status", answer.status === 503 ? "waiting for the camera" : "refused: " + answer.status);
      await sleep(500);
      continue;
    }
    const number = Number(answer.headers.get("X-Camsnap-Frame"));
    const width = Number(answer.headers.get("X-Camsnap-Width"));
    const height = Number(answer.headers.get("X-Camsnap-Height"));
    const channels = Number(answer.headers.get("X-Camsnap-Channels"));
    const bytes = await answer.arrayBuffer();
    if (view.paused) continue;  // paused while it came: the page stays on the frame it showed
    const data = channels === 1 ? new Uint16Array(bytes) : new Uint8Array(bytes);
    if (data.length !== width * height * channels) continue;
    view.frame = {number, width, height, channels, data};
    text("fps", answer.headers.get("X-Camsnap-Fps"));
    draw();
    if (!view.paused) text("status", number === shown ? "no new frame" : "");
    shown = number;
  }
}

async function start() {
  try {
    view.settings = await (await fetch("settings.json")).json();
  } catch (error) {
    text("status", "server stopped");
    return;
  }
  document.body.classList.toggle("rgb", !view.settings.ir);
  wireControls();
  follow();
  watchRecord();
}

start();
