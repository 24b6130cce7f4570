// The dashboard page: live state from /events (server-sent events), commands by POST.
'use strict';

const $ = (id) => document.getElementById(id);
let state = null;          // the last state received
let receivedAt = 0;        // performance.now() when it came
let history = [[], []];    // chart data: unix seconds, degrees
let chart = null;
let span = 3600;           // seconds of history shown: the last hour, day or week

function clock(unixSeconds) {
  return new Date(unixSeconds * 1000).toLocaleTimeString([], { hour12: false });
}

function ago(seconds) {
  if (seconds < 60) return `${seconds.toFixed(1)} s ago`;
  const m = Math.floor(seconds / 60);
  return `${m} min ${Math.floor(seconds - m * 60)} s ago`;
}

function makeChart() {
  const el = $('chart');
  chart = new uPlot({
    width: el.clientWidth || 600,
    height: 220,
    scales: { x: { time: true } },
    axes: [{ stroke: '#555' }, { stroke: '#555', label: '°C', size: 50 }],
    series: [
      {},
      { label: 'temperature', stroke: '#d9480f', width: 2, fill: 'rgba(217,72,15,0.08)',
        value: (u, v) => (v == null ? '–' : `${v.toFixed(1)} °C`) },
    ],
    legend: { show: false },
  }, history, el);
  new ResizeObserver(() => chart.setSize({ width: el.clientWidth, height: 220 })).observe(el);
}

function addPoint(t, c) {
  const xs = history[0];
  if (xs.length && xs[xs.length - 1] >= t) return;
  history[0].push(t);
  history[1].push(c);
  // Points that slid out of the span go; a week at one report per 4.8 s is 126 000.
  while (xs.length > 1 && (xs[0] < t - span || xs.length > 130000)) { history[0].shift(); history[1].shift(); }
  chart.setData(history);
}

// The chart's span from the stored history (thinned by the server to about one point per pixel),
// and the download link for the same span.
async function loadHistory() {
  const from = Math.floor(Date.now() / 1000 - span);
  $('csv').href = `/history.csv?from=${from}`;
  try {
    const r = await fetch(`/history.json?from=${from}&points=${Math.max(200, $('chart').clientWidth || 600)}`);
    const answer = await r.json();
    history = [answer.points.map((p) => p[0]), answer.points.map((p) => p[1])];
    chart.setData(history);
    $('history-store').textContent = `History ${answer.store}.`;
  } catch (err) {
    $('history-store').textContent = `History not loaded: ${err.message}`;
  }
}

function feedback(el, command, what) {
  // The server says what went out and when, and what still waits for the node.
  const parts = [];
  if (command.queued) parts.push(`waiting for the node: ${command.queued}`);
  if (command.sent) parts.push(`sent ${command.sent.frame} at ${clock(command.sent.t)}`);
  el.textContent = parts.length ? parts.join(' · ') : what;
  el.dataset.state = command.queued ? 'queued' : (command.sent ? 'sent' : 'none');
}

function render() {
  const s = state;
  const link = $('link');
  link.dataset.connected = String(s.connected);
  link.textContent = s.connected ? `connected: ${s.link}` : 'not connected';
  const banner = $('banner');
  banner.hidden = s.connected;
  banner.textContent = `No link to the node: ${s.link}. Retrying every second; the values below are the last received.`;

  $('temperature').textContent = s.temperature ?? '–';
  $('stale').hidden = !s.stale;
  $('invalid').hidden = !s.reading_invalid;
  document.querySelector('.temperature').classList.toggle('is-stale', !!s.stale);
  document.querySelector('.temperature').classList.toggle('is-invalid', !!s.reading_invalid);
  // What the link brings is not reports: said plainly, with the probable cause.
  const warning = $('line-warning');
  warning.hidden = !s.link_warning;
  warning.textContent = s.link_warning ? `The node's link: ${s.link_warning}` : '';
  // The greeting again mid-session: the node started over. Its cause goes out on USART2 only.
  const restart = $('restart-notice');
  restart.hidden = !s.restart;
  restart.textContent = s.restart
    ? `The node restarted at ${clock(s.restart.t)}` +
      (s.restart.count > 1 ? ` (${s.restart.count} times since the link came up)` : '') +
      ': its greeting came again. The LED and PWM are unknown until you command them; why it restarted ' +
      '(watchdog, fault, power) the node says only on its USART2 debug port.'
    : '';

  $('switch').textContent = s.switch == null ? '–' : (s.switch ? 'on (1)' : 'off (0)');
  $('led').textContent = s.led == null ? '–' : (s.led ? 'on' : 'off');
  $('pwm').textContent = s.pwm == null ? '–' : `${s.pwm} %`;
  feedback($('led-feedback'), s.led_command, '');
  feedback($('pwm-feedback'), s.pwm_command, '');

  const log = $('log');
  log.replaceChildren(...s.log.slice().reverse().map((e) => {
    const li = document.createElement('li');
    li.className = `dir-${e.dir} kind-${e.kind}`;
    const arrow = e.dir === 'rx' ? '←' : e.dir === 'tx' ? '→' : '•';
    li.textContent = `${clock(e.t)} ${arrow} ${e.text}`;
    return li;
  }));
  tick();
}

function tick() {
  if (!state) return;
  const el = $('age');
  if (state.last_report_age == null) { el.textContent = 'never'; return; }
  el.textContent = ago(state.last_report_age + (performance.now() - receivedAt) / 1000);
}

function connect() {
  const events = new EventSource('/events');
  events.addEventListener('full', (e) => {
    state = JSON.parse(e.data);
    receivedAt = performance.now();
    history = [state.history.map((p) => p[0]), state.history.map((p) => p[1])];
    chart.setData(history);
    $('history-store').textContent = `History ${state.history_store}.`;
    render();
    loadHistory();
  });
  events.addEventListener('update', (e) => {
    const had = state && state.reports;
    state = JSON.parse(e.data);
    receivedAt = performance.now();
    if (state.celsius != null && state.reports !== had && !state.stale) {
      const last = state.log.filter((l) => l.kind === 'temperature').pop();
      if (last) addPoint(last.t, state.celsius);
    }
    render();
  });
  events.onerror = () => {
    const link = $('link');
    link.dataset.connected = 'false';
    link.textContent = 'not connected';
    const banner = $('banner');
    banner.hidden = false;
    banner.textContent = 'The dashboard program does not answer (stopped?). Retrying…';
  };
}

async function post(path, body, el) {
  try {
    const r = await fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
                                  body: JSON.stringify(body) });
    const answer = await r.json();
    if (!r.ok) { el.textContent = `refused: ${answer.message}`; el.dataset.state = 'error'; }
  } catch (err) {
    el.textContent = `not sent: ${err.message}`;
    el.dataset.state = 'error';
  }
}

$('led-on').addEventListener('click', () => post('/led', { on: true }, $('led-feedback')));
$('led-off').addEventListener('click', () => post('/led', { on: false }, $('led-feedback')));
const slider = $('pwm-slider');
slider.addEventListener('input', () => { $('pwm-value').textContent = `${slider.value} %`; });
slider.addEventListener('change', () => post('/pwm', { duty: Number(slider.value) }, $('pwm-feedback')));

for (const b of document.querySelectorAll('button.span')) {
  b.addEventListener('click', () => {
    span = Number(b.dataset.span);
    for (const o of document.querySelectorAll('button.span')) o.setAttribute('aria-pressed', String(o === b));
    loadHistory();
  });
}

makeChart();
connect();
setInterval(tick, 200);
