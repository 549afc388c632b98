// orvtool view: the tree of animations, the player, the frame table and the palette.
// Served by `orvtool view`, or opened from file:// with its data inline (`--static`).
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const canvas = $("canvas");
  const ctx = canvas.getContext("2d");

  // Data inline in the page (static copy) or from the server's API.
  const inline = (() => {
    const text = $("orv-data").textContent.trim();
    return text ? JSON.parse(text) : null;
  })();

  const encodePath = (rel) => rel.split("/").map(encodeURIComponent).join("/");

  async function fetchJson(url) {
    const response = await fetch(url);
    if (!response.ok) throw new Error(`${url}: ${response.status}`);
    return response.json();
  }

  const getTree = () => (inline ? Promise.resolve(inline.tree) : fetchJson("api/tree"));
  const withPalette = (url, palette) => (palette ? `${url}?palette=${encodeURIComponent(palette)}` : url);
  const getAnim = (rel, palette) =>
    inline
      ? Promise.resolve(inline.animations[rel] || null)
      : fetchJson(withPalette("api/anim/" + encodePath(rel), palette));
  const getEntry = (rel) => fetchJson("api/entry/" + encodePath(rel));
  let palettes = null; // the palette files of the folder, asked for once
  const getPalettes = () => {
    if (inline) return Promise.resolve([]);
    if (!palettes) palettes = fetchJson("api/palettes").then((doc) => doc.palettes);
    return palettes;
  };

  // The address: the animation shown, and the palette chosen for it.
  function readAddress() {
    const hash = location.hash.slice(1);
    const cut = hash.indexOf("?");
    const rel = decodeURIComponent(cut < 0 ? hash : hash.slice(0, cut));
    const query = new URLSearchParams(cut < 0 ? "" : hash.slice(cut + 1));
    return { rel, palette: query.get("palette") };
  }
  const address = (rel, palette) => "#" + encodePath(rel) + (palette ? "?palette=" + encodeURIComponent(palette) : "");

  // From the server, an image is asked for again each time (a file saved
  // anew keeps its addresses), decoded as it is stored.
  async function loadImage(src) {
    if (!src.startsWith("data:")) {
      const response = await fetch(src, { cache: "no-store" });
      if (!response.ok) throw new Error(`cannot load ${src}: ${response.status}`);
      return createImageBitmap(await response.blob(), { premultiplyAlpha: "none", colorSpaceConversion: "none" });
    }
    return new Promise((resolve, reject) => {
      const img = new Image();
      img.onload = () => resolve(img);
      img.onerror = () => reject(new Error("cannot load " + src.slice(0, 80)));
      img.src = src;
    });
  }

  // The palette index of every pixel of a frame, from its index layer:
  // grey = index, alpha 255 = covered.
  async function loadIndices(frame) {
    const img = await loadImage(frame.index_image);
    const c = document.createElement("canvas");
    c.width = frame.width;
    c.height = frame.height;
    const g = c.getContext("2d", { willReadFrequently: true });
    g.drawImage(img, 0, 0);
    return g.getImageData(0, 0, frame.width, frame.height).data;
  }

  const state = {
    anim: null,
    images: [],
    indices: [],
    frame: 0,
    zoom: 1,
    rect: { left: 0, top: 0, width: 1, height: 1 },
    playing: false,
    timer: null,
    hover: null, // last pointer position on the canvas, in animation coordinates
  };

  const hasPixels = (f) => f.width > 0 && f.height > 0;
  const backgroundFrame = () =>
    state.anim && state.anim.has_background && state.anim.frames.length > 1 && $("show-background").checked ? 0 : null;

  // --- tree -----------------------------------------------------------------

  // The list holds every animation as data; only the rows in view (and a
  // few either side) are elements, so that filtering and scrolling cost the
  // same for 20,000 files as for 20. Each row has a fixed height.
  const ROW_HEIGHT = { folder: 26, anim: 38 };
  const OVERSCAN = 10;
  const list = {
    all: [], // {path, lower} of every animation, in the tree's order
    rows: [], // what the filter keeps: {kind: "folder", dir} or {kind: "anim", path}
    tops: [], // the top of each row, in pixels
    details: new Map(), // path -> entry (frame count, error, thumbnail)
    asked: new Set(), // paths whose details are on their way
    selected: null,
    drawn: "", // the window of rows last made into elements
  };

  // The details of an entry (frame count, error, thumbnail): inline in the
  // static page, else asked for when the entry comes into view.
  function showEntry(li, entry) {
    const thumb = li.querySelector(".thumb");
    if (entry.thumbnail) {
      const img = document.createElement("img");
      img.className = "thumb";
      img.alt = "";
      img.src = entry.thumbnail;
      thumb.replaceWith(img);
    }
    li.classList.toggle("broken", Boolean(entry.error));
    const note = li.querySelector(".count");
    note.className = entry.error ? "tree-error" : "count";
    note.textContent = entry.error || `${entry.frames} frame${entry.frames === 1 ? "" : "s"}`;
  }

  function askDetails(path) {
    if (inline || list.asked.has(path)) return;
    list.asked.add(path);
    getEntry(path)
      .catch(() => ({ error: "cannot load", frames: 0 }))
      .then((entry) => {
        list.asked.delete(path);
        if (!list.all.some((a) => a.path === path)) return; // gone meanwhile
        list.details.set(path, entry);
        const li = [...$("tree").children].find((e) => e.dataset.path === path);
        if (li) showEntry(li, entry);
      });
  }

  function renderTree(tree) {
    $("root-name").textContent = tree.root;
    const known = new Set();
    list.all = tree.animations.map((entry) => {
      known.add(entry.path);
      if ("frames" in entry) list.details.set(entry.path, entry);
      return { path: entry.path, lower: entry.path.toLowerCase() };
    });
    for (const path of [...list.details.keys()]) if (!known.has(path)) list.details.delete(path);
    applyFilter();
  }

  function applyFilter() {
    const query = $("filter").value.trim().toLowerCase();
    const rows = [];
    const tops = [];
    let folder = null;
    let y = 0;
    for (const a of list.all) {
      if (query && !a.lower.includes(query)) continue;
      const cut = a.path.lastIndexOf("/");
      const dir = cut < 0 ? "." : a.path.slice(0, cut);
      if (dir !== folder) {
        folder = dir;
        rows.push({ kind: "folder", dir });
        tops.push(y);
        y += ROW_HEIGHT.folder;
      }
      rows.push({ kind: "anim", path: a.path, name: a.path.slice(cut + 1) });
      tops.push(y);
      y += ROW_HEIGHT.anim;
    }
    list.rows = rows;
    list.tops = tops;
    const ul = $("tree");
    ul.style.height = `${y}px`;
    ul.dataset.count = String(rows.filter((r) => r.kind === "anim").length);
    list.drawn = "";
    renderWindow();
  }

  function makeRow(row) {
    const li = document.createElement("li");
    if (row.kind === "folder") {
      li.className = "folder";
      li.textContent = row.dir + "/";
      return li;
    }
    li.className = "anim";
    li.dataset.path = row.path;
    li.title = row.path;
    const thumb = document.createElement("span");
    thumb.className = "thumb";
    const meta = document.createElement("div");
    meta.className = "meta";
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = row.name;
    meta.appendChild(name);
    const note = document.createElement("span");
    note.className = "count";
    meta.appendChild(note);
    li.append(thumb, meta);
    li.classList.toggle("selected", row.path === list.selected);
    li.addEventListener("click", () => select(row.path));
    const entry = list.details.get(row.path);
    if (entry) showEntry(li, entry);
    else askDetails(row.path);
    return li;
  }

  // The first row whose bottom lies below y.
  function rowAt(y) {
    let lo = 0;
    let hi = list.tops.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      const bottom = list.tops[mid] + ROW_HEIGHT[list.rows[mid].kind];
      if (bottom <= y) lo = mid + 1;
      else hi = mid;
    }
    return lo;
  }

  function renderWindow() {
    const pane = $("tree-pane");
    const ul = $("tree");
    const top = pane.scrollTop - ul.offsetTop;
    const first = Math.max(0, rowAt(top) - OVERSCAN);
    const last = Math.min(list.rows.length, rowAt(top + pane.clientHeight) + 1 + OVERSCAN);
    const key = `${first}:${last}:${list.selected}`;
    if (key === list.drawn) return;
    list.drawn = key;
    const items = document.createDocumentFragment();
    for (let i = first; i < last; i++) {
      const li = makeRow(list.rows[i]);
      li.style.top = `${list.tops[i]}px`;
      items.appendChild(li);
    }
    ul.textContent = "";
    ul.appendChild(items);
  }

  let windowQueued = false;
  const queueWindow = () => {
    if (windowQueued) return;
    windowQueued = true;
    requestAnimationFrame(() => {
      windowQueued = false;
      renderWindow();
    });
  };
  $("tree-pane").addEventListener("scroll", queueWindow);
  window.addEventListener("resize", queueWindow);

  // --- following the files ---------------------------------------------------

  // The server says when files come or go ("tree") and when the animation
  // shown, or its palette, changes ("anim"); the static page has no server.
  let events = null;
  let eventsUrl = null;
  function follow(rel, palette) {
    if (inline || !("EventSource" in window)) return;
    const url = rel ? withPalette("api/events/" + encodePath(rel), palette) : "api/events";
    if (url === eventsUrl) return;
    if (events) events.close();
    eventsUrl = url;
    events = new EventSource(url);
    events.addEventListener("tree", () => {
      getTree()
        .then(renderTree)
        .catch(() => undefined);
    });
    events.addEventListener("anim", () => {
      if (!state.anim) return;
      list.details.delete(state.anim.path);
      list.drawn = "";
      renderWindow();
      select(state.anim.path, (state.anim.palette && state.anim.palette.chosen) || null, {
        frame: state.frame,
        zoom: state.zoom,
        playing: state.playing,
        scroll: [$("stage").scrollLeft, $("stage").scrollTop],
      });
    });
  }

  // --- selecting an animation ------------------------------------------------

  // `keep` (the file changed on disk): the frame (the last, if there are
  // fewer now), the zoom, the scroll and whether it plays stay as they were.
  async function select(rel, palette, keep) {
    pause();
    let doc = null;
    try {
      doc = await getAnim(rel, palette);
    } catch (err) {
      doc = null;
    }
    if (!doc) {
      $("error").hidden = false;
      $("error").textContent = palette ? `${rel}: cannot draw with ${palette}` : `${rel}: no such animation`;
      return;
    }
    state.anim = doc;
    state.images = [];
    state.indices = [];
    list.selected = rel;
    renderWindow();
    follow(rel, palette);
    if (location.hash !== address(rel, palette)) history.replaceState(null, "", address(rel, palette));
    $("title").textContent = rel;
    $("error").hidden = !doc.error;
    $("error").textContent = doc.error || "";
    const notes = doc.notes || [];
    $("notes").textContent = "";
    for (const note of notes) {
      const li = document.createElement("li");
      li.textContent = note;
      $("notes").appendChild(li);
    }
    $("notes").hidden = notes.length === 0;
    // A file with nothing to export (an empty one, say) is offered no command.
    $("export").hidden = !doc.export_command;
    $("export-command").value = doc.export_command || "";
    const frames = doc.frames || [];
    renderTable(frames);
    renderPalette(doc.palette);
    offerPalettes(doc);
    try {
      const [images, indices] = await Promise.all([
        Promise.all(frames.map((f) => (f.image ? loadImage(f.image) : null))),
        Promise.all(frames.map((f) => (f.index_image ? loadIndices(f) : null))),
      ]);
      if (state.anim !== doc) return; // another one was chosen meanwhile
      state.images = images;
      state.indices = indices;
    } catch (err) {
      if (state.anim !== doc) return;
      $("error").hidden = false;
      $("error").textContent = String(err.message || err);
    }
    const playable = state.images.some((img) => img);
    $("controls").hidden = !playable;
    $("stage").hidden = !playable;
    $("background-toggle").hidden = !(doc.has_background && frames.length > 1);
    const solid = frames.filter(hasPixels);
    if (solid.length) {
      const left = Math.min(...solid.map((f) => f.x_offset));
      const top = Math.min(...solid.map((f) => f.y_offset));
      const right = Math.max(...solid.map((f) => f.x_offset + f.width));
      const bottom = Math.max(...solid.map((f) => f.y_offset + f.height));
      state.rect = { left, top, width: right - left, height: bottom - top };
    } else {
      state.rect = { left: 0, top: 0, width: 1, height: 1 };
    }
    $("slider").max = String(Math.max(0, frames.length - 1));
    state.hover = null;
    $("hover").textContent = "\u00a0";
    if (keep) {
      state.zoom = keep.zoom;
      setFrame(Math.min(keep.frame, Math.max(0, frames.length - 1)));
      [$("stage").scrollLeft, $("stage").scrollTop] = keep.scroll;
      if (keep.playing) play();
      return;
    }
    state.zoom = Math.max(1, Math.min(8, Math.floor(480 / Math.max(state.rect.width, state.rect.height))));
    setFrame(firstPlayed());
    keepInView(spriteCentre());
  }

  // A file whose palette is missing may be drawn with one of the folder's.
  async function offerPalettes(doc) {
    const box = $("palette-choice");
    const wanted = doc.palette && (doc.palette.missing || doc.palette.chosen);
    box.hidden = true;
    if (!wanted) return;
    let found = [];
    try {
      found = await getPalettes();
    } catch (err) {
      found = [];
    }
    if (state.anim !== doc || !found.length) return;
    const list = $("palette-select");
    list.textContent = "";
    const none = document.createElement("option");
    none.value = "";
    none.textContent = "choose a palette\u2026";
    list.appendChild(none);
    for (const rel of found) {
      const option = document.createElement("option");
      option.value = option.textContent = rel;
      list.appendChild(option);
    }
    list.value = doc.palette.chosen || "";
    box.hidden = false;
  }

  // Playing skips the background frame while it is drawn behind the others.
  const firstPlayed = () => (backgroundFrame() === 0 ? 1 : 0);

  // --- frame table and palette -----------------------------------------------

  function renderTable(frames) {
    const body = $("frames").querySelector("tbody");
    body.textContent = "";
    frames.forEach((f, i) => {
      const tr = document.createElement("tr");
      const cells = [i, `${f.width}\u00d7${f.height}`, f.x_offset, f.y_offset, f.runs, f.is_shadow ? "yes" : "no", f.frame_size, f.unk1, f.unk2];
      for (const value of cells) {
        const td = document.createElement("td");
        td.textContent = String(value);
        tr.appendChild(td);
      }
      tr.addEventListener("click", () => {
        pause();
        setFrame(i);
      });
      body.appendChild(tr);
    });
    $("frames").hidden = frames.length === 0;
  }

  const rgbaText = (c) => `rgba(${c[0]}, ${c[1]}, ${c[2]}, ${c[3]})`;
  const cssColour = (c) => `rgba(${c[0]}, ${c[1]}, ${c[2]}, ${c[3] / 255})`;

  function renderPalette(palette) {
    const grid = $("palette");
    grid.textContent = "";
    grid.hidden = !palette; // a file that names no palette has none to show
    const colours = (palette && palette.colors) || [];
    for (let i = 0; i < 256; i++) {
      const cell = document.createElement("div");
      cell.dataset.index = String(i);
      if (i < colours.length) {
        cell.style.background = cssColour(colours[i]);
        cell.addEventListener("mouseenter", () => showPaletteEntry(i));
      } else {
        cell.className = "empty";
      }
      grid.appendChild(cell);
    }
    $("palette-info").textContent = "\u00a0";
    let said = "";
    if (palette && palette.chosen) {
      said = `drawn with ${palette.chosen}, chosen here: the file names ${palette.location}`;
    } else if (palette) {
      said = `${palette.location}${palette.file ? " \u2192 " + palette.file : " (not found)"}`;
    } else {
      said = "none: the file could not be read";
    }
    $("palette-file").textContent = said;
  }

  function markPalette(index) {
    for (const cell of $("palette").children) cell.classList.toggle("mark", cell.dataset.index === String(index));
  }

  function showPaletteEntry(index) {
    const c = state.anim.palette.colors[index];
    $("palette-info").textContent = `index ${index}: ${rgbaText(c)}`;
    markPalette(index);
  }

  // --- drawing ----------------------------------------------------------------

  let checker = null;
  function checkerPattern() {
    if (!checker) {
      const tile = document.createElement("canvas");
      tile.width = tile.height = 16;
      const g = tile.getContext("2d");
      g.fillStyle = "#ffffff";
      g.fillRect(0, 0, 16, 16);
      g.fillStyle = "#cccccc";
      g.fillRect(0, 0, 8, 8);
      g.fillRect(8, 8, 8, 8);
      checker = ctx.createPattern(tile, "repeat");
    }
    return checker;
  }

  function drawFrame(i) {
    const img = state.images[i];
    const f = state.anim.frames[i];
    if (!img || !hasPixels(f)) return;
    const z = state.zoom;
    ctx.globalAlpha = f.is_shadow && $("shadow-mode").value === "overlay" ? 0.5 : 1;
    ctx.drawImage(img, (f.x_offset - state.rect.left) * z, (f.y_offset - state.rect.top) * z, f.width * z, f.height * z);
    ctx.globalAlpha = 1;
  }

  function draw() {
    if (!state.anim) return;
    const { left, top, width, height } = state.rect;
    const z = state.zoom;
    if (canvas.width !== width * z || canvas.height !== height * z) {
      canvas.width = width * z;
      canvas.height = height * z;
    }
    ctx.imageSmoothingEnabled = false;
    ctx.fillStyle = $("backdrop").value === "checker" ? checkerPattern() : $("backdrop-colour").value;
    ctx.fillRect(0, 0, canvas.width, canvas.height);
    const bg = backgroundFrame();
    if (bg !== null && state.frame !== bg) drawFrame(bg);
    drawFrame(state.frame);
    if ($("show-rects").checked) {
      ctx.lineWidth = 1;
      state.anim.frames.forEach((f, i) => {
        if (!hasPixels(f)) return;
        ctx.strokeStyle = i === state.frame ? "rgba(255, 40, 40, 0.95)" : "rgba(40, 120, 255, 0.35)";
        ctx.strokeRect((f.x_offset - left) * z + 0.5, (f.y_offset - top) * z + 0.5, f.width * z - 1, f.height * z - 1);
      });
    }
    if ($("show-origin").checked) {
      const ox = -left * z;
      const oy = -top * z;
      const arm = 6 + 2 * z;
      ctx.fillStyle = "rgba(255, 0, 255, 0.9)";
      ctx.fillRect(ox - arm, oy, 2 * arm, 1);
      ctx.fillRect(ox, oy - arm, 1, 2 * arm);
    }
  }

  function setFrame(i) {
    if (!state.anim) return;
    const n = state.anim.frames.length;
    state.frame = n ? ((i % n) + n) % n : 0;
    $("slider").value = String(state.frame);
    $("frame-label").textContent = `frame ${state.frame} / ${Math.max(0, n - 1)}`;
    const rows = $("frames").querySelector("tbody").children;
    for (let r = 0; r < rows.length; r++) rows[r].classList.toggle("current", r === state.frame);
    $("zoom-label").textContent = `${state.zoom}\u00d7`;
    draw();
    if (state.hover) describePixel(state.hover.x, state.hover.y);
  }

  // --- playing -----------------------------------------------------------------

  function step(delta) {
    const n = state.anim ? state.anim.frames.length : 0;
    if (!n) return;
    const first = state.playing ? firstPlayed() : 0;
    let next = state.frame + delta;
    if (next >= n) next = first;
    if (next < first) next = n - 1;
    setFrame(next);
  }

  function schedule() {
    clearTimeout(state.timer);
    state.timer = setTimeout(() => {
      if (!state.playing) return;
      step(1);
      schedule();
    }, 1000 / Number($("fps").value));
  }

  function play() {
    if (!state.anim || !state.images.some((img) => img)) return;
    state.playing = true;
    $("play").textContent = "Pause";
    schedule();
  }

  function pause() {
    state.playing = false;
    clearTimeout(state.timer);
    $("play").textContent = "Play";
  }

  const toggle = () => (state.playing ? pause() : play());

  // The middle of the current frame (of the origin when it has no pixels), in
  // animation coordinates: what zooming keeps in view.
  function spriteCentre() {
    const f = state.anim && state.anim.frames[state.frame];
    if (f && hasPixels(f)) return { x: f.x_offset + f.width / 2, y: f.y_offset + f.height / 2 };
    return { x: 0, y: 0 };
  }

  // Scrolls the stage so that the point (animation coordinates) is at
  // `at` (pixels from the stage's top-left corner), its middle by default.
  function keepInView(point, at) {
    const stage = $("stage");
    const where = at || { x: stage.clientWidth / 2, y: stage.clientHeight / 2 };
    stage.scrollLeft = (point.x - state.rect.left) * state.zoom - where.x;
    stage.scrollTop = (point.y - state.rect.top) * state.zoom - where.y;
  }

  // Zooms around the pointer when it is over the canvas, else around the
  // middle of the current frame.
  function zoomBy(delta, pointer) {
    const stage = $("stage");
    const box = stage.getBoundingClientRect();
    const at = pointer ? { x: pointer.clientX - box.left, y: pointer.clientY - box.top } : null;
    const point = at
      ? {
          x: (stage.scrollLeft + at.x) / state.zoom + state.rect.left,
          y: (stage.scrollTop + at.y) / state.zoom + state.rect.top,
        }
      : spriteCentre();
    state.zoom = Math.max(1, Math.min(32, state.zoom + delta));
    setFrame(state.frame);
    keepInView(point, at);
  }

  // --- hover -------------------------------------------------------------------

  // The pixel under (x, y), relative to the origin: the current frame's if it
  // covers it, else the background frame's.
  function describePixel(x, y) {
    const parts = [`x ${x}, y ${y} from the origin`];
    const order = [state.frame];
    const bg = backgroundFrame();
    if (bg !== null && bg !== state.frame) order.push(bg);
    let found = false;
    for (const i of order) {
      const f = state.anim.frames[i];
      const fx = x - f.x_offset;
      const fy = y - f.y_offset;
      const data = state.indices[i];
      if (!data || fx < 0 || fy < 0 || fx >= f.width || fy >= f.height) continue;
      const p = 4 * (fy * f.width + fx);
      if (data[p + 3] === 0) continue;
      found = true;
      if (f.is_shadow) {
        parts.push(`frame ${i}: shadow`);
        markPalette(null);
      } else {
        const index = data[p];
        const c = state.anim.palette.colors[index];
        parts.push(`frame ${i}: index ${index}` + (c ? ` ${rgbaText(c)}` : ""));
        markPalette(index);
      }
      break;
    }
    if (!found) {
      parts.push("transparent");
      markPalette(null);
    }
    $("hover").textContent = parts.join(" \u00b7 ");
  }

  canvas.addEventListener("mousemove", (e) => {
    if (!state.anim) return;
    const box = canvas.getBoundingClientRect();
    const px = Math.floor(((e.clientX - box.left) * canvas.width) / box.width);
    const py = Math.floor(((e.clientY - box.top) * canvas.height) / box.height);
    const x = Math.floor(px / state.zoom) + state.rect.left;
    const y = Math.floor(py / state.zoom) + state.rect.top;
    state.hover = { x, y };
    describePixel(x, y);
  });
  canvas.addEventListener("mouseleave", () => {
    state.hover = null;
  });
  $("stage").addEventListener(
    "wheel",
    (e) => {
      if (!state.anim || !(e.ctrlKey || e.metaKey)) return;
      e.preventDefault();
      zoomBy(e.deltaY < 0 ? 1 : -1, e);
    },
    { passive: false },
  );
  // Dragging the stage moves the view over the canvas, at any zoom.
  let drag = null;
  $("stage").addEventListener("pointerdown", (e) => {
    if (e.button !== 0) return;
    const stage = $("stage");
    drag = { id: e.pointerId, x: e.clientX, y: e.clientY, left: stage.scrollLeft, top: stage.scrollTop };
    stage.setPointerCapture(e.pointerId);
    stage.classList.add("dragging");
  });
  $("stage").addEventListener("pointermove", (e) => {
    if (!drag || e.pointerId !== drag.id) return;
    const stage = $("stage");
    stage.scrollLeft = drag.left - (e.clientX - drag.x);
    stage.scrollTop = drag.top - (e.clientY - drag.y);
  });
  const endDrag = (e) => {
    if (!drag || e.pointerId !== drag.id) return;
    drag = null;
    $("stage").classList.remove("dragging");
  };
  $("stage").addEventListener("pointerup", endDrag);
  $("stage").addEventListener("pointercancel", endDrag);
  $("palette-select").addEventListener("change", () => {
    if (!state.anim) return;
    select(state.anim.path, $("palette-select").value || null);
  });

  // --- controls ------------------------------------------------------------------

  $("filter").addEventListener("input", applyFilter);
  $("play").addEventListener("click", toggle);
  $("prev").addEventListener("click", () => {
    pause();
    step(-1);
  });
  $("next").addEventListener("click", () => {
    pause();
    step(1);
  });
  $("slider").addEventListener("input", () => {
    pause();
    setFrame(Number($("slider").value));
  });
  $("fps").addEventListener("input", () => {
    $("fps-label").textContent = $("fps").value;
  });
  $("zoom-in").addEventListener("click", () => zoomBy(1));
  $("zoom-out").addEventListener("click", () => zoomBy(-1));
  for (const id of ["backdrop", "backdrop-colour", "show-origin", "show-rects", "shadow-mode", "show-background"]) {
    $(id).addEventListener("input", draw);
    $(id).addEventListener("change", draw);
  }
  $("copy").addEventListener("click", async () => {
    const field = $("export-command");
    try {
      await navigator.clipboard.writeText(field.value);
    } catch (err) {
      field.select();
      document.execCommand("copy");
    }
    $("copy").textContent = "Copied";
    setTimeout(() => ($("copy").textContent = "Copy"), 1200);
  });

  document.addEventListener("keydown", (e) => {
    const t = e.target;
    const typing = (t.tagName === "INPUT" && ["search", "text", "number"].includes(t.type)) || t.tagName === "SELECT";
    if (typing || e.ctrlKey || e.metaKey || e.altKey || !state.anim) return;
    if (e.key === " ") toggle();
    else if (e.key === "ArrowRight") {
      pause();
      step(1);
    } else if (e.key === "ArrowLeft") {
      pause();
      step(-1);
    } else if (e.key === "+" || e.key === "=") zoomBy(1);
    else if (e.key === "-" || e.key === "_") zoomBy(-1);
    else return;
    e.preventDefault();
  });

  // The address names the animation shown: links and back and forward work.
  window.addEventListener("hashchange", () => {
    const wanted = readAddress();
    const shown = state.anim
      ? { rel: state.anim.path, palette: (state.anim.palette && state.anim.palette.chosen) || null }
      : null;
    if (wanted.rel && (!shown || shown.rel !== wanted.rel || shown.palette !== wanted.palette)) {
      select(wanted.rel, wanted.palette);
    }
  });

  // --- start ---------------------------------------------------------------------

  getTree()
    .then((tree) => {
      renderTree(tree);
      follow(null);
      const wanted = readAddress();
      if (wanted.rel && tree.animations.some((a) => a.path === wanted.rel)) return select(wanted.rel, wanted.palette);
      return undefined;
    })
    .catch((err) => {
      $("error").hidden = false;
      $("error").textContent = String(err.message || err);
    });
})();
