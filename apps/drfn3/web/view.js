// drfn3's live view: one card per pod, its traces drawn by dygraphs from the samples drfn3
// sends over a WebSocket, its 3D box by three.js once the samples carry an orientation.
"use strict";

(function () {
  const params = new URLSearchParams(location.search);
  const token = params.get("token") || "";
  // Each sample's arrival time at the host comes along: the page measures its own latency.
  const stamps = params.get("stamps") === "1";

  const COLORS = ["#d62728", "#2ca02c", "#1f77b4"];
  const SENSORS = ["a", "g", "m"];
  // As drfn3's table shows them; the CSV has more.
  const DECIMALS = { a: 2, g: 3, m: 2 };
  const MAX_LATENCIES = 200000;

  const state = {
    unit: { a: "m/s^2", g: "rad/s", m: "uT" },
    raw: false,
    pods: new Map(),
    window: Number(localStorage.getItem("drfn3.window")) || 10,
    paused: false,
    missed: 0,
    messages: 0,
    connected: false,
    ended: false,
    controller: "ok",
    latencies: [],
    transits: [],
    lastDraw: 0,
    every: 50,
    scheduled: false,
    pass: null,
  };

  const $ = (id) => document.getElementById(id);

  function setConnection(text, cls) {
    const el = $("connection");
    el.textContent = text;
    el.className = "state " + (cls || "");
  }

  function banner(text, cls, fadeMs) {
    const el = $("banner");
    clearTimeout(banner.timer);
    if (!text) {
      el.hidden = true;
      return;
    }
    el.textContent = text;
    el.className = cls;
    el.hidden = false;
    if (fadeMs) banner.timer = setTimeout(() => (el.hidden = true), fadeMs);
  }

  function showMissed() {
    const el = $("notice");
    if (!state.missed) return;
    el.hidden = false;
    el.textContent = "This tab missed " + state.missed + " samples: it fell behind (busy or hidden). The traces have gaps there.";
  }

  function fixed(value, decimals) {
    return value === null || value === undefined || Number.isNaN(value) ? "NaN" : value.toFixed(decimals);
  }

  function makePod(serial) {
    const card = $("pod-template").content.firstElementChild.cloneNode(true);
    card.dataset.serial = serial;
    card.querySelector(".serial").textContent = serial;
    const pod = {
      serial,
      card,
      field: (name) => card.querySelector("." + name),
      rows: { a: [], g: [], m: [] },
      frames: [],
      graphs: {},
      received: 0,
      firstTime: null,
      lastTime: 0,
      dirty: false,
      visible: true,
      orientation: null,
      box: null,
    };
    for (const s of SENSORS) card.querySelector(`[data-sensor="${s}"] .unit`).textContent = state.unit[s];
    $("waiting")?.remove();
    $("pods").appendChild(card);
    if ("IntersectionObserver" in window) {
      new IntersectionObserver((entries) => {
        pod.visible = entries[entries.length - 1].isIntersecting;
        if (pod.visible) schedule();
      }).observe(card);
    }
    state.pods.set(serial, pod);
    return pod;
  }

  function pod(serial) {
    return state.pods.get(serial) || makePod(serial);
  }

  function setPods(message) {
    state.raw = message.units === "raw";
    state.unit = message.unit;
    for (const serial of message.pods) pod(serial);
    for (const p of state.pods.values())
      for (const s of SENSORS) p.card.querySelector(`[data-sensor="${s}"] .unit`).textContent = state.unit[s];
    $("summary").textContent = message.pods.length ? message.pods.length + " pods, " + (state.raw ? "raw counts" : "calibrated") : "";
  }

  function addSamples(message) {
    const now = performance.timeOrigin + performance.now();
    state.missed += message.missed;
    if (stamps && message.sent && state.transits.length < MAX_LATENCIES) state.transits.push(now - message.sent);
    if (message.missed) showMissed();
    for (const m of message.pods) {
      const p = pod(m.pod);
      const n = m.t.length;
      for (let i = 0; i < n; ++i) {
        const t = m.t[i];
        for (const s of SENSORS) {
          const v = m[s];
          p.rows[s].push([t, v[3 * i], v[3 * i + 1], v[3 * i + 2]]);
        }
        p.frames.push(m.frame[i]);
        if (stamps && m.arrival && state.latencies.length < MAX_LATENCIES) state.latencies.push(now - m.arrival[i]);
      }
      p.received += n;
      if (p.firstTime === null) p.firstTime = m.t[0];
      p.lastTime = m.t[n - 1];
      // What is older than the longest window is not drawn again.
      const keep = p.lastTime - Math.max(state.window, 10) - 1;
      let old = 0;
      while (old < p.frames.length && p.rows.a[old][0] < keep) ++old;
      if (old > 0) {
        for (const s of SENSORS) p.rows[s].splice(0, old);
        p.frames.splice(0, old);
      }
      p.latest = { loss: m.loss, battery: m.battery, button: m.button };
      if (m.q) p.orientation = { q: m.q, rpy: m.rpy };
      if (m.q && three === null) loadThree();
      p.dirty = true;
    }
    schedule();
  }

  function setStatus(message) {
    schedule();
    for (const s of message.pods) {
      const p = pod(s.pod);
      p.field("frames").textContent = String(s.samples);
      p.field("rate").textContent = fixed(s.rate, 1);
      p.field("calibration").hidden = s.calibrated;
      if (message.final) {
        // The final numbers are the last sample's too.
        p.latest = { loss: s.loss, battery: s.battery, button: s.button };
        p.dirty = true;
      }
    }
  }

  // --- 3D box: drawn only for pods whose samples carry an orientation ---

  let three = null; // null: not asked for; "loading"; "failed"; or true
  function loadThree() {
    if (three !== null) return;
    three = "loading";
    const script = document.createElement("script");
    script.src = "/lib/three.min.js?token=" + encodeURIComponent(token);
    script.onload = () => {
      three = true;
      for (const p of state.pods.values()) if (p.orientation) p.dirty = true;
      schedule();
    };
    script.onerror = () => (three = "failed");
    document.head.appendChild(script);
  }

  function showOrientation(p) {
    const rpy = p.orientation.rpy;
    p.card.querySelector(".orientation").hidden = false;
    p.field("roll").textContent = fixed(rpy[0], 1);
    p.field("pitch").textContent = fixed(rpy[1], 1);
    p.field("yaw").textContent = fixed(rpy[2], 1);
  }

  function makeBox(p) {
    const el = p.card.querySelector(".box");
    try {
      const renderer = new THREE.WebGLRenderer({ antialias: true, alpha: true });
      renderer.setPixelRatio(window.devicePixelRatio || 1);
      renderer.setSize(el.clientWidth, el.clientHeight);
      el.appendChild(renderer.domElement);
      const scene = new THREE.Scene();
      // The earth's frame as the pods' orientation gives it: z up.
      const camera = new THREE.PerspectiveCamera(35, el.clientWidth / el.clientHeight, 0.1, 100);
      camera.up.set(0, 0, 1);
      camera.position.set(2.5, -3.3, 2.0);
      camera.lookAt(0, 0, 0);
      // Faces +x, -x, +y, -y, +z, -z: x in red, y in green, z in blue as on the traces.
      const faces = [0xd62728, 0xf0a0a0, 0x2ca02c, 0xa0d8a0, 0x1f77b4, 0xa0c4e4].map(
        (color) => new THREE.MeshBasicMaterial({ color })
      );
      const geometry = new THREE.BoxGeometry(1.8, 1.2, 0.45);
      const mesh = new THREE.Mesh(geometry, faces);
      mesh.add(new THREE.LineSegments(new THREE.EdgesGeometry(geometry), new THREE.LineBasicMaterial({ color: 0x333333 })));
      scene.add(mesh);
      scene.add(new THREE.AxesHelper(1.4));
      return { renderer, scene, camera, mesh };
    } catch (error) {
      el.textContent = "The 3D view needs WebGL";
      return "failed";
    }
  }

  function drawBox(p) {
    if (three !== true || !p.orientation) return;
    if (!p.box) p.box = makeBox(p);
    if (p.box === "failed") return;
    const [w, x, y, z] = p.orientation.q;
    p.box.mesh.quaternion.set(x, y, z, w);
    p.box.renderer.render(p.box.scene, p.box.camera);
  }

  // --- traces ---

  // The numbers of a pod's last sample, as drfn3's table shows them.
  function drawNumbers(p) {
    if (!p.frames.length) return;
    for (const s of SENSORS) {
      const last = p.rows[s][p.rows[s].length - 1];
      p.card.querySelector(`[data-sensor="${s}"] .values`).textContent = last
        .slice(1)
        .map((v) => fixed(v, state.raw ? 0 : DECIMALS[s]))
        .join("  ");
    }
    const m = p.latest;
    p.field("button-state").classList.toggle("on", m.button !== 0);
    p.field("button-state").textContent = m.button !== 0 ? "button pressed" : "button";
    p.field("loss").textContent = fixed(m.loss * 100, 1);
    p.card.classList.toggle("lossy", m.loss > 0.05);
    p.field("battery").textContent = fixed(m.battery, 1);
    if (p.orientation) showOrientation(p);
  }

  function drawPod(p) {
    if (typeof Dygraph === "undefined" || !p.frames.length) return;
    // The traces fill the window from the left, then scroll.
    const from = Math.max(p.firstTime, p.lastTime - state.window);
    const range = [from, from + state.window];
    for (const s of SENSORS) {
      const rows = p.rows[s];
      if (!p.graphs[s]) {
        p.graphs[s] = new Dygraph(p.card.querySelector(`[data-sensor="${s}"] .chart`), rows, {
          labels: ["t", "x", "y", "z"],
          colors: COLORS,
          strokeWidth: 1,
          legend: "never",
          interactionModel: {},
          dateWindow: range,
          axisLabelFontSize: 10,
          axisLabelWidth: 44,
          xAxisHeight: 16,
          axes: { x: { axisLabelFormatter: (v) => v.toFixed(0) + " s" }, y: { pixelsPerLabel: 18 } },
        });
      } else {
        p.graphs[s].updateOptions({ file: rows, dateWindow: range });
      }
    }
  }

  // Drawn when something changed, 20 times a second at most, and less often when drawing
  // takes long: the data still arrive as they come, only the picture waits. A pass over many
  // pods is cut into slices of a frame each, so that no message waits long for the drawing.
  const SLICE_MS = 12;

  function schedule() {
    if (state.scheduled || state.paused) return;
    state.scheduled = true;
    const wait = Math.max(0, state.lastDraw + state.every - performance.now());
    setTimeout(() => requestAnimationFrame(draw), wait);
  }

  function draw() {
    state.scheduled = false;
    if (state.paused) return;
    const start = performance.now();
    if (!state.pass) state.pass = { start, spent: 0, next: 0 };
    const pass = state.pass;
    const pods = [...state.pods.values()];
    for (; pass.next < pods.length; ++pass.next) {
      const p = pods[pass.next];
      if (!p.dirty || !p.visible) continue;
      if (performance.now() - start > SLICE_MS) break;
      p.dirty = false;
      drawNumbers(p);
      drawPod(p);
      drawBox(p);
    }
    pass.spent += performance.now() - start;
    if (pass.next < pods.length) {
      state.scheduled = true;
      requestAnimationFrame(draw);
      return;
    }
    state.pass = null;
    state.lastDraw = pass.start;
    // Drawing (and the raster after it, about as long again) takes at most about a quarter
    // of the page's time.
    state.every = Math.min(500, Math.max(50, 0.8 * state.every + 0.2 * 8 * pass.spent));
  }

  // --- connection ---

  function handle(message) {
    ++state.messages;
    switch (message.type) {
      case "hello":
        state.connected = true;
        setConnection("live", "live");
        if (message.streaming) setPods(message);
        if (message.controller === "lost") handle({ type: "controller", state: "lost" });
        break;
      case "run":
        setPods(message);
        break;
      case "samples":
        addSamples(message);
        break;
      case "status":
        setStatus(message);
        break;
      case "controller":
        state.controller = message.state;
        if (message.state === "lost") {
          setConnection("controller lost", "lost");
          banner("The controller was lost: drfn3 waits for it to come back (unplugged? out of power?)", "lost");
        } else {
          setConnection("live", "live");
          banner("The controller is back: streaming again", "back", 6000);
        }
        break;
      case "end":
        state.ended = true;
        setConnection("ended", "ended");
        banner("The stream has ended: drfn3 stopped. What it sent stays on the page.", "ended");
        break;
    }
  }

  let retries = 0;
  function connect() {
    const url = "ws://" + location.host + "/ws?token=" + encodeURIComponent(token) + (stamps ? "&stamps=1" : "");
    const socket = new WebSocket(url);
    socket.onmessage = (event) => handle(JSON.parse(event.data));
    socket.onopen = () => (retries = 0);
    socket.onclose = () => {
      state.connected = false;
      if (state.ended) return;
      setConnection("disconnected", "closed");
      banner("The connection to drfn3 is lost: trying again. If drfn3 was restarted, open the address it printed.", "closed");
      if (++retries <= 30) setTimeout(connect, 2000);
    };
  }

  function init() {
    if (typeof Dygraph === "undefined")
      banner("dygraphs did not load: install Debian's libjs-dygraphs where drfn3 runs. Numbers only.", "lost");
    const select = $("window");
    select.value = String(state.window);
    if (select.value !== String(state.window)) select.value = "10";
    state.window = Number(select.value);
    select.onchange = () => {
      state.window = Number(select.value);
      localStorage.setItem("drfn3.window", select.value);
      for (const p of state.pods.values()) p.dirty = true;
      schedule();
    };
    $("pause").onclick = () => {
      state.paused = !state.paused;
      $("pause").textContent = state.paused ? "Resume" : "Pause";
      for (const p of state.pods.values()) p.dirty = true;
      schedule();
    };
    connect();
  }

  // For tests and benchmarks: what the page holds, as plain data.
  window.drfn3View = {
    handle,
    snapshot() {
      const pods = [];
      for (const p of state.pods.values()) {
        const text = (name) => p.field(name).textContent;
        pods.push({
          pod: p.serial,
          received: p.received,
          shown: {
            frames: text("frames"),
            rate: text("rate"),
            loss: text("loss"),
            battery: text("battery"),
            button: p.field("button-state").classList.contains("on") ? 1 : 0,
            values: Object.fromEntries(SENSORS.map((s) => [s, p.card.querySelector(`[data-sensor="${s}"] .values`).textContent])),
          },
          drawn: SENSORS.filter((s) => p.graphs[s]).length,
          box: p.box ? (p.box === "failed" ? "failed" : "drawn") : p.orientation ? "waiting" : "none",
          angles: p.orientation ? ["roll", "pitch", "yaw"].map(text) : null,
        });
      }
      return {
        connected: state.connected,
        ended: state.ended,
        controller: state.controller,
        missed: state.missed,
        messages: state.messages,
        banner: $("banner").hidden ? "" : $("banner").textContent,
        now: performance.now(),
        redrawMs: state.every,
        // Something changed that is not drawn yet.
        pending: state.scheduled || state.pass !== null,
        pods,
      };
    },
    // Every sample held for a pod: time, frame, then a, m, g as in the CSV's column order.
    rows(serial) {
      const p = state.pods.get(serial);
      if (!p) return [];
      return p.frames.map((f, i) => [p.rows.a[i][0], f, ...p.rows.a[i].slice(1), ...p.rows.m[i].slice(1), ...p.rows.g[i].slice(1)]);
    },
    latencies: () => state.latencies,
    // From drfn3's sending of each samples message to the page's taking it.
    transits: () => state.transits,
  };

  init();
})();
