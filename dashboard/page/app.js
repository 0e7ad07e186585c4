// The line's page for supervisors: a tile a station, boards and yield per hour, why boards
// failed, and one board's runs found by its serial number. It only reads: every figure comes
// from the dashboard server's /api/stats and /api/rows, asked again every 5 s.
// Every value from the log is put into the page as text (textContent or text nodes), never
// as markup, so a station or an operator named like a tag shows as what it is.
'use strict';

const POLL_MS = 5000;
// The columns of the log, in the command line's order, for the CSV download.
const COLUMNS = ['id', 'started', 'ended', 'station', 'port', 'command', 'image', 'image_sha256', 'device_id',
  'serial_name', 'serial', 'serial_verified', 'result', 'exit_status', 'first_difference', 'seconds', 'speed',
  'retries', 'operator', 'lot', 'device', 'reason', 'serial_kept', 'result_class'];
// Colours told apart also by people who see red and green alike (Okabe and Ito).
const PALETTE = ['#0072B2', '#E69F00', '#009E73', '#CC79A7', '#56B4E9', '#D55E00', '#F0E442', '#000000'];
const MAX_SERIAL = (1n << 63n) - 1n;

// A failure the page reports: `bad` is a filter the server refused (said beside its field);
// anything else means the log cannot be reached (said in the banner).
class LogError extends Error {
  constructor(message, bad) { super(message); this.bad = bad; }
}

// A serial number typed as a decimal number, or as bytes in hexadecimal joined by ':' (a MAC
// address, the first byte the most significant), as the decimal text the server filters by.
function parseSerial(text) {
  const t = text.trim();
  let n;
  if (/^\d+$/.test(t)) n = BigInt(t);
  else if (/^[0-9a-f]{1,2}(:[0-9a-f]{1,2})+$/i.test(t)) n = t.split(':').reduce((v, b) => (v << 8n) | BigInt('0x' + b), 0n);
  else throw new Error('A serial number is a decimal number, or bytes in hexadecimal joined by ":" (00:11:22:33:44:55).');
  if (n > MAX_SERIAL) throw new Error(`A serial number is at most ${MAX_SERIAL}; "${t}" is larger.`);
  return n.toString();
}

// One CSV field (RFC 4180). A text a spreadsheet would take for a formula (one that begins
// with = + - or @ after any blanks) gets a leading apostrophe, as the command line's CSV does.
function csvField(value) {
  if (value === null || value === undefined) return '';
  let v = String(value);
  if (typeof value === 'string' && /^[ \t\r\n]*[=+\-@]/.test(v)) v = "'" + v;
  return /[",\r\n]/.test(v) ? '"' + v.replace(/"/g, '""') + '"' : v;
}

// The CSV of rows, every column of the log.
function toCsv(rows) {
  const lines = [COLUMNS.join(',')];
  for (const r of rows) lines.push(COLUMNS.map(c => csvField(r[c])).join(','));
  return lines.join('\r\n') + '\r\n';
}

// The server's JSON, a serial number kept as its decimal text: a JavaScript number holds
// only 53 bits exactly, a serial up to 63.
function parseLog(text) {
  return JSON.parse(text, (key, value, context) =>
    (key === 'serial' && typeof value === 'number' && context && context.source ? context.source : value));
}

// Failed boards grouped by result, then by reason: results with the most boards first, and
// within a result the most frequent reasons first. A run still going, or one whose end was
// never recorded, is no failure yet; a station's row is no board.
function pareto(rows) {
  const groups = new Map();
  for (const r of rows) {
    if (r.result_class !== 'board' || r.result === 'ok' || r.result === 'unfinished') continue;
    const g = groups.get(r.result) || { result: r.result, count: 0, reasons: new Map() };
    g.count++;
    const reason = r.reason || '';
    g.reasons.set(reason, (g.reasons.get(reason) || 0) + 1);
    groups.set(r.result, g);
  }
  const byCount = (a, b) => b.count - a.count || (a.result || a.reason).localeCompare(b.result || b.reason);
  return [...groups.values()].sort(byCount).map(g => ({
    result: g.result, count: g.count,
    reasons: [...g.reasons].map(([reason, count]) => ({ reason, count })).sort(byCount),
  }));
}

// Whether a station is programming a board now: a row not ended yet, started less than
// twice its average board time ago (at least 60 s). An older open row is a run killed.
function runningNow(rows, average, now) {
  const window = Math.max(2 * (average || 0), 60) * 1000;
  return rows.some(r => r.ended === null && now - Date.parse(r.started) < window);
}

const pad = n => String(n).padStart(2, '0');
function localTime(iso, withDate) {
  const d = new Date(iso);
  if (!iso || isNaN(d)) return iso || '';
  const time = `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
  return withDate ? `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${time}` : time;
}
const count = (n, word) => `${n} ${word}${n === 1 ? '' : 's'}`;
const percent = v => (v === null || v === undefined ? '–' : `${Number(v).toFixed(1)}%`);

if (typeof module !== 'undefined') module.exports = { parseSerial, csvField, toCsv, parseLog, pareto, runningNow };

if (typeof document !== 'undefined') {
  const $ = id => document.getElementById(id);
  // An element with a class and children; strings become text nodes, never markup.
  const el = (tag, cls, ...kids) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    e.append(...kids.filter(k => k !== null && k !== undefined));
    return e;
  };

  const state = { lot: '', serial: null, results: [], refreshes: 0, chart: null };

  async function getJson(path, params) {
    const url = path + '?' + new URLSearchParams(params).toString();
    let response, body = null;
    try {
      response = await fetch(url, { cache: 'no-store', headers: { Accept: 'application/json' } });
    } catch (e) {
      throw new LogError('the dashboard server does not answer', false);
    }
    try { body = parseLog(await response.text()); } catch (e) { body = null; }
    if (response.ok && Array.isArray(body)) return body;
    const words = body && typeof body.error === 'string' ? body.error
      : response.ok ? 'the server answered something that is no list' : `HTTP ${response.status}`;
    throw new LogError(words, response.status >= 400 && response.status < 500);
  }

  // The tiles: today's figures of each station, its last board and whether it is running.
  async function loadTiles() {
    // The line's newest rows tell each station's last board and whether it is running; a
    // station quiet for longer than they reach back is asked for its own.
    const [stats, rows] = await Promise.all([getJson('/api/stats', { since: 'today', by: 'station' }),
      getJson('/api/rows', { since: 'today', limit: 200 })]);
    const byStation = new Map();
    for (const r of rows) (byStation.get(r.station) || byStation.set(r.station, []).get(r.station)).push(r);
    const missing = stats.map(g => g.station).filter(s => !byStation.has(s));
    const more = await Promise.all(missing.map(s => getJson('/api/rows', { since: 'today', station: s, limit: 50 })));
    missing.forEach((s, i) => byStation.set(s, more[i]));
    const statsOf = new Map(stats.map(g => [g.station, g]));
    const names = [...new Set([...statsOf.keys(), ...byStation.keys()])].sort((a, b) => String(a).localeCompare(String(b)));
    const now = Date.now();
    const tiles = names.map(name => tile(name, statsOf.get(name) || {}, byStation.get(name) || [], now));
    $('tiles').replaceChildren(...(tiles.length ? tiles : [el('p', 'empty', 'No station has logged a run today.')]));
  }

  function newest(rows, test) {
    return rows.filter(test).reduce((a, r) => (!a || r.started > a.started ? r : a), null);
  }

  function tile(name, g, rows, now) {
    const last = newest(rows, r => r.result_class === 'board' && r.ended !== null);
    const pass = last && last.result === 'ok';
    const t = el('article', 'tile ' + (!last ? 'none' : pass ? 'pass' : 'fail'));
    t.dataset.station = name;
    t.append(el('h3', null, name || '(no name)'),
      el('p', 'verdict', !last ? 'NO BOARD YET' : pass ? 'PASS' : 'FAIL'));
    if (last && !pass) t.append(el('p', 'why', `${last.result}: ${last.reason || ''}`));
    if (runningNow(rows, g.seconds_average, now)) t.append(el('p', 'running', 'running now'));
    t.append(el('p', 'counts', `Boards today: ${g.boards || 0} (passed ${g.passed || 0}, failed ${g.failed || 0})`),
      el('p', 'yield', `Yield: ${percent(g.yield)}`));
    if (last) {
      const serial = last.serial === null ? '' : `, serial ${last.serial}`;
      t.append(el('p', 'last', `Last board ${localTime(last.ended)}, ${last.port || 'no port'}${serial}`));
    }
    const lastRun = newest(rows, () => true);
    if (lastRun && lastRun.result_class === 'station') {
      t.append(el('p', 'station-fault', `Last run was no board: ${lastRun.result}: ${lastRun.reason || ''}`));
    }
    return t;
  }

  // The chart and the Pareto: today, or the lot typed in the box.
  async function loadScope() {
    const scope = state.lot ? { lot: state.lot } : { since: 'today' };
    const stats = await getJson('/api/stats', Object.assign({ by: 'station,hour' }, scope));
    const failed = [...new Set(stats.flatMap(g => Object.keys(g.failures || {})))];
    const rows = failed.length ? await getJson('/api/rows', Object.assign({ result: failed.join(',') }, scope)) : [];
    const name = state.lot ? `lot ${state.lot}` : 'today';
    $('scope-name').textContent = name;
    $('pareto-scope').textContent = name;
    $('lot-error').textContent = '';
    drawChart(stats);
    drawPareto(rows, stats.reduce((n, g) => n + (g.failed || 0), 0));
  }

  function drawChart(stats) {
    const hours = [...new Set(stats.map(g => g.hour))].sort();
    const stations = [...new Set(stats.map(g => g.station))].sort((a, b) => String(a).localeCompare(String(b)));
    const at = new Map(stats.map(g => [g.station + '\u0000' + g.hour, g]));
    const labels = hours.map(h => (state.lot ? h : String(h).slice(11)));
    const datasets = [];
    stations.forEach((s, i) => {
      const colour = PALETTE[i % PALETTE.length];
      const of = h => at.get(s + '\u0000' + h);
      datasets.push({ type: 'bar', label: `${s}: boards`, yAxisID: 'boards', backgroundColor: colour, order: 2,
        data: hours.map(h => (of(h) ? of(h).boards : 0)) });
      datasets.push({ type: 'line', label: `${s}: yield`, yAxisID: 'yield', borderColor: colour, backgroundColor: colour,
        borderWidth: 3, borderDash: [8, 4], pointRadius: 5, spanGaps: true, order: 1,
        data: hours.map(h => (of(h) && of(h).yield !== null ? of(h).yield : null)) });
    });
    const boards = stats.reduce((n, g) => n + (g.boards || 0), 0);
    $('chart-note').textContent = hours.length ? `${count(boards, 'board')} in ${count(hours.length, 'hour')}.` : 'No boards yet.';
    if (typeof Chart === 'undefined') {
      $('chart-note').textContent += ' (The chart library could not be loaded.)';
      return;
    }
    if (state.chart) {
      state.chart.data.labels = labels;
      state.chart.data.datasets = datasets;
      state.chart.update('none');
      return;
    }
    Chart.defaults.font.size = 16;
    state.chart = new Chart($('chart'), {
      type: 'bar',
      data: { labels, datasets },
      options: {
        animation: false, responsive: true, maintainAspectRatio: false,
        interaction: { mode: 'index', intersect: false },
        scales: {
          boards: { position: 'left', beginAtZero: true, ticks: { precision: 0 }, title: { display: true, text: 'Boards' } },
          yield: { position: 'right', min: 0, max: 100, grid: { drawOnChartArea: false }, title: { display: true, text: 'Yield %' } },
        },
      },
    });
  }

  function drawPareto(rows, failedTotal) {
    const groups = pareto(rows);
    const most = groups.length ? groups[0].count : 1;
    const bar = (count, total) => {
      const p = el('progress', null, `${count} of ${total}`);
      p.max = most;
      p.value = count;
      return p;
    };
    const body = $('pareto').tBodies[0];
    const lines = [];
    for (const g of groups) {
      const head = el('tr', 'result-row', el('th', null, g.result), el('td', null, 'all reasons'),
        el('td', 'count', String(g.count)), el('td', null, bar(g.count, failedTotal)));
      head.firstChild.scope = 'rowgroup';
      lines.push(head);
      for (const r of g.reasons) {
        lines.push(el('tr', 'reason-row', el('td'), el('td', null, r.reason || '(no reason given)'),
          el('td', 'count', String(r.count)), el('td', null, bar(r.count, failedTotal))));
      }
    }
    body.replaceChildren(...lines);
    const counted = groups.reduce((n, g) => n + g.count, 0);
    $('pareto-note').textContent = !failedTotal ? 'No board failed.'
      : counted < failedTotal ? `${count(failedTotal, 'board')} failed; the newest ${counted} are counted here.`
        : `${count(failedTotal, 'board')} failed.`;
  }

  // The runs of the board searched for, newest first.
  async function loadSearch() {
    if (state.serial === null) return;
    const serial = state.serial;
    const rows = await getJson('/api/rows', { serial });
    if (serial !== state.serial) return;  // another search began meanwhile
    state.results = rows.slice().sort((a, b) => (a.started < b.started ? 1 : -1));
    $('search-error').textContent = '';
    $('results-caption').textContent = rows.length ? `Board ${serial}: ${count(rows.length, 'run')}`
      : `No run of board ${serial} in the log.`;
    $('results').tBodies[0].replaceChildren(...state.results.map(r => el('tr', r.result === 'ok' ? 'pass' : 'fail',
      el('td', null, localTime(r.started, true)), el('td', null, r.station), el('td', null, r.port),
      el('td', null, r.operator), el('td', 'sha', r.image_sha256), el('td', 'result', r.result === 'ok' ? 'PASS' : `FAIL: ${r.result}`),
      el('td', null, r.reason))));
    $('download').disabled = !rows.length;
  }

  function download() {
    if (!state.results.length) return;
    const blob = new Blob(['\ufeff' + toCsv(state.results)], { type: 'text/csv;charset=utf-8' });
    const a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    a.download = `kavel-board-${state.serial}.csv`;
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
  }

  // One refresh of every part. A part that fails keeps its last data; a filter the server
  // refuses is said beside its field, anything else in the banner until the log answers again.
  let timer = null, busy = false, again = false;
  async function refresh() {
    if (busy) { again = true; return; }
    busy = true;
    clearTimeout(timer);
    let down = null;
    const part = (load, field) => load().catch(e => {
      if (e instanceof LogError && e.bad && field) $(field).textContent = e.message;
      else down = down || e.message;
    });
    await Promise.all([part(loadTiles), part(loadScope, 'lot-error'), part(loadSearch, 'search-error')]);
    const banner = $('banner');
    banner.hidden = !down;
    banner.textContent = down ? `The station log cannot be reached: ${down}; trying again every 5 s` : '';
    if (!down) $('updated').textContent = `Updated ${localTime(new Date().toISOString())}`;
    document.body.dataset.updated = String(++state.refreshes);
    busy = false;
    if (again) { again = false; refresh(); } else timer = setTimeout(refresh, POLL_MS);
  }

  $('lot-form').addEventListener('submit', e => {
    e.preventDefault();
    state.lot = $('lot').value.trim();
    refresh();
  });
  $('lot-clear').addEventListener('click', () => {
    $('lot').value = '';
    state.lot = '';
    refresh();
  });
  $('search-form').addEventListener('submit', e => {
    e.preventDefault();
    try {
      state.serial = parseSerial($('search').value);
      $('search-error').textContent = '';
    } catch (err) {
      state.serial = null;
      state.results = [];
      $('search-error').textContent = err.message;
      $('results-caption').textContent = 'Type a serial number to see that board\'s runs.';
      $('results').tBodies[0].replaceChildren();
      $('download').disabled = true;
      return;
    }
    refresh();
  });
  $('download').addEventListener('click', download);
  refresh();
}
