// strandel view: the page's side. One WebSocket (live) brings the states, the joint samples and,
// unless the page is opened with ?transport=poll, the pictures; in that mode the pictures are
// fetched from frame/KIND.jpg at the camera's rate instead. Over the WebSocket the page says when
// it is done with each picture (shown, or skipped for a newer one), so that the view makes new
// pictures only as fast as the page shows them. window.strandelView holds what the page shows and
// measured, for tests and benchmarks.
'use strict';

(() => {
  const params = new URLSearchParams(location.search);
  const transport = params.get('transport') === 'poll' ? 'poll' : 'websocket';
  const palette = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2',
    '#7f7f7f', '#bcbd22', '#17becf'];
  const $ = (id) => document.getElementById(id);

  const view = {
    transport,
    connected: false,
    windowSeconds: 10,
    serverNow: 0,
    camera: null,
    streams: null,
    frames: { rgb: 0, depth: 0 },
    seq: { rgb: 0, depth: 0 },
    latency: [],
    series: {},
    charts: {},
    // A plain summary of what the page shows, for tests and benchmarks.
    summary() {
      const plots = {};
      for (const [key, s] of Object.entries(this.series)) {
        const chart = this.charts[key];
        plots[key] = {
          names: s.names,
          samples: s.t.length,
          last: s.q.length ? s.q[s.q.length - 1] : [],
          datasets: chart ? chart.data.datasets.map((d) => ({
            label: d.label, points: d.data.length,
            last: d.data.length ? d.data[d.data.length - 1].y : null,
          })) : [],
        };
      }
      return {
        transport: this.transport, connected: this.connected, state: $('state').textContent,
        frames: this.frames, seq: this.seq, latency: this.latency.slice(), plots, chartJs: typeof Chart !== 'undefined',
      };
    },
  };
  window.strandelView = view;

  const number = (x, digits) => (typeof x === 'number' && isFinite(x) ? x.toFixed(digits) : '–');

  // ---- State ------------------------------------------------------------------------------------

  function showState() {
    const state = $('state');
    const camera = view.camera || {};
    const streams = view.streams || {};
    let text;
    let kind;
    if (!view.connected) {
      text = 'view disconnected: reconnecting…';
      kind = 'down';
    } else if (camera.state === 'unreachable' || streams.state === 'unreachable') {
      text = 'bridge unreachable: ' + (camera.state === 'unreachable' ? camera.detail : streams.detail);
      kind = 'down';
    } else if (camera.state === 'live' || streams.state === 'live') {
      text = 'live';
      kind = 'live';
      const other = camera.state === 'live' ? streams : camera;
      if (other.state && other.state !== 'live' && other.detail) text += ' (' + other.detail + ')';
    } else {
      text = camera.detail || streams.detail || 'waiting for the bridge…';
      kind = 'waiting';
    }
    state.textContent = text;
    state.className = 'state ' + kind;
  }

  function showRates() {
    const body = $('rates');
    body.textContent = '';
    const row = (cells) => {
      const tr = document.createElement('tr');
      cells.forEach((cell, i) => {
        const td = document.createElement('td');
        td.textContent = cell;
        if (i >= 2) td.className = 'num';
        tr.appendChild(td);
      });
      body.appendChild(tr);
    };
    for (const s of (view.streams && view.streams.streams) || []) {
      row([s.stream, s.state + (s.state !== 'live' && s.detail ? ': ' + s.detail : ''), String(s.messages),
        number(s.average_hz, 2) + ' Hz',
        number(s.min_interval_s * 1000, 1) + ' / ' + number(s.max_interval_s * 1000, 1) + ' ms',
        number(s.stddev_interval_s * 1000, 2) + ' ms', number(s.largest_gap_s * 1000, 1) + ' ms',
        String(s.reconnects)]);
    }
    const c = view.camera;
    if (c && c.camera) {
      row(['camera ' + c.camera, c.state + (c.state !== 'live' && c.detail ? ': ' + c.detail : ''),
        String(c.frames), number(c.fps, 1) + ' fps (of ' + number(c.target_fps, 1) + ')', '', '', '', '']);
    }
    const sorted = view.latency.slice(-100).sort((a, b) => a - b);
    $('camera-stats').textContent = c && c.frames ?
      'camera: capture ' + number(c.capture_ms, 1) + ' ms, encoding ' + number(c.encode_ms, 1) +
      ' ms per frame; on this page ' + (sorted.length ? number(sorted[sorted.length >> 1], 0) : '–') +
      ' ms after capture (median of the last ' + sorted.length + ', ' + view.transport + ')' : '';
  }

  // ---- Pictures ---------------------------------------------------------------------------------

  const pictures = {};
  for (const kind of ['rgb', 'depth']) {
    pictures[kind] = { img: $(kind), caption: $(kind + '-caption'), busy: false, pending: null, url: null };
  }

  // Shows one picture at a time per kind: a picture that arrives while the last is decoding
  // waits, and replaces any other that waits. `release` (if given) is called once the page is
  // done with the picture.
  function showPicture(kind, meta, blob, release) {
    const p = pictures[kind];
    if (!p) {
      if (release) release();
      return;
    }
    if (p.busy) {
      if (p.pending && p.pending.release) p.pending.release();
      p.pending = { meta, blob, release };
      return;
    }
    p.busy = true;
    const url = URL.createObjectURL(blob);
    const done = (shown) => {
      if (shown) {
        const delay = Date.now() - meta.captured_at_ms;
        if (kind === 'rgb') {
          view.latency.push(delay);
          if (view.latency.length > 2000) view.latency.shift();
        }
        view.frames[kind] += 1;
        view.seq[kind] = meta.seq;
        const sim = typeof meta.sim_time === 'number' ? ' · sim ' + meta.sim_time.toFixed(3) + ' s' : '';
        p.caption.textContent = kind + ' ' + meta.width + '×' + meta.height + sim + ' · frame ' +
          meta.seq + ' · shown ' + delay.toFixed(0) + ' ms after capture';
        if (p.url) URL.revokeObjectURL(p.url);
        p.url = url;
      } else {
        URL.revokeObjectURL(url);
      }
      p.busy = false;
      if (release) release();
      if (p.pending) {
        const next = p.pending;
        p.pending = null;
        showPicture(kind, next.meta, next.blob, next.release);
      }
    };
    p.img.src = url;
    p.img.decode().then(() => done(true), () => done(false));
  }

  function onPictureMessage(buffer, socket) {
    const length = new DataView(buffer).getUint32(0, true);
    const meta = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
    const release = () => {
      if (socket.readyState === WebSocket.OPEN) socket.send('shown');
    };
    showPicture(meta.kind, meta, new Blob([new Uint8Array(buffer, 4 + length)], { type: 'image/jpeg' }),
      release);
  }

  // ?transport=poll: each kind fetched at the camera's rate, shown when it is a new frame.
  async function poll(kind) {
    let last = -1;
    for (;;) {
      const started = Date.now();
      try {
        const response = await fetch('frame/' + kind + '.jpg', { cache: 'no-store' });
        if (response.ok) {
          const meta = JSON.parse(response.headers.get('X-Strandel-Frame'));
          const blob = await response.blob();
          if (meta.seq !== last) {
            last = meta.seq;
            showPicture(kind, meta, blob);
          }
        }
      } catch (e) {
        // the view is away: the WebSocket's state says so
      }
      const fps = view.camera && view.camera.target_fps > 0 ? view.camera.target_fps : 10;
      const wait = Math.max(0, 1000 / fps - (Date.now() - started));
      await new Promise((resolve) => setTimeout(resolve, wait));
    }
  }

  // ---- Joint plots ------------------------------------------------------------------------------

  let plotsDirty = false;

  function plotFor(message) {
    let s = view.series[message.stream];
    if (s && s.names.join('\n') === message.names.join('\n')) return s;
    if (!s) {
      const box = document.createElement('div');
      box.className = 'plot';
      const title = document.createElement('h3');
      title.textContent = message.stream.replace(/^articulations\//, '').replace('/stream_', ' · ').replace(/_/g, ' ');
      const holder = document.createElement('div');
      holder.className = 'canvas';
      const canvas = document.createElement('canvas');
      holder.appendChild(canvas);
      const values = document.createElement('p');
      values.className = 'values';
      box.append(title, holder, values);
      $('plots').appendChild(box);
      s = { box, canvas, values, names: [], t: [], q: [] };
      view.series[message.stream] = s;
    }
    // New joint names (another robot at the same path): start the plot again.
    s.names = message.names.slice();
    s.t = [];
    s.q = [];
    if (view.charts[message.stream]) view.charts[message.stream].destroy();
    delete view.charts[message.stream];
    if (typeof Chart !== 'undefined') {
      view.charts[message.stream] = new Chart(s.canvas, {
        type: 'line',
        data: {
          datasets: s.names.map((name, i) => ({
            label: name, data: [], borderColor: palette[i % palette.length],
            backgroundColor: palette[i % palette.length], borderWidth: 1.5, pointRadius: 0, tension: 0,
          })),
        },
        options: {
          animation: false, parsing: false, normalized: true, responsive: true, maintainAspectRatio: false,
          interaction: { mode: 'nearest', axis: 'x', intersect: false },
          plugins: { legend: { position: 'right', labels: { boxWidth: 12 } } },
          scales: {
            x: { type: 'linear', min: -view.windowSeconds, max: 0, title: { display: true, text: 'seconds' } },
            y: { title: { display: true, text: 'position (rad or m)' } },
          },
        },
      });
    }
    return s;
  }

  function onJoints(message) {
    const s = plotFor(message);
    for (const sample of message.samples) {
      if (s.t.length && sample[0] <= s.t[s.t.length - 1]) continue;  // replayed after a reconnect
      s.t.push(sample[0]);
      s.q.push(sample.slice(1));
    }
    view.serverNow = Math.max(view.serverNow, message.now || 0);
    plotsDirty = true;
  }

  function redrawPlots() {
    const oldest = view.serverNow - view.windowSeconds * 1000;
    for (const [key, s] of Object.entries(view.series)) {
      let drop = 0;
      while (drop < s.t.length && s.t[drop] < oldest) drop += 1;
      if (drop) {
        s.t.splice(0, drop);
        s.q.splice(0, drop);
      }
      const last = s.q.length ? s.q[s.q.length - 1] : [];
      s.values.textContent = s.names.map((name, i) => name + ' ' + number(last[i], 3)).join('  ·  ');
      const chart = view.charts[key];
      if (!chart) continue;
      chart.data.datasets.forEach((dataset, i) => {
        dataset.data = s.t.map((t, k) => ({ x: (t - view.serverNow) / 1000, y: s.q[k][i] === null ? NaN : s.q[k][i] }));
      });
      chart.update('none');
    }
    plotsDirty = false;
  }
  setInterval(() => {
    if (plotsDirty) redrawPlots();
  }, 100);

  // ---- The live connection ----------------------------------------------------------------------

  function onText(message) {
    switch (message.type) {
      case 'hello':
        // A new connection replays the samples of the last window (a restarted view: from 0).
        view.serverNow = 0;
        for (const s of Object.values(view.series)) {
          s.t = [];
          s.q = [];
        }
        $('bridge').textContent = 'bridge: ' + message.bridge;
        if (message.window_s > 0) view.windowSeconds = message.window_s;
        break;
      case 'camera':
        view.camera = message;
        showState();
        showRates();
        break;
      case 'streams':
        view.streams = message;
        view.serverNow = Math.max(view.serverNow, message.now || 0);
        plotsDirty = true;
        showState();
        showRates();
        break;
      case 'joints':
        onJoints(message);
        break;
      default:
        break;
    }
  }

  function connect() {
    const base = location.pathname.replace(/[^/]*$/, '');
    const url = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + base + 'live' +
      (transport === 'poll' ? '?pictures=0' : '?acks=1');
    const socket = new WebSocket(url);
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => {
      view.connected = true;
      showState();
    };
    socket.onmessage = (event) => {
      if (typeof event.data === 'string') onText(JSON.parse(event.data));
      else onPictureMessage(event.data, socket);
    };
    socket.onclose = () => {
      view.connected = false;
      showState();
      setTimeout(connect, 1000);
    };
  }

  connect();
  if (transport === 'poll') {
    poll('rgb');
    poll('depth');
  }
})();
