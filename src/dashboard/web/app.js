// The dashboard's pages: each fetches its figures from /api/..., draws them with textContent
// only (everything shown comes from stations: it is text, never markup), and fetches them again
// when the server's event stream says the rows changed, at most once a second.
'use strict';

(function () {
  const page = location.pathname;
  const params = new URLSearchParams(location.search);
  const main = document.getElementById('main');
  let charts = [];

  // An element with attributes and children (strings become text nodes).
  function el(tag, attributes, ...children) {
    const element = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      if (value === undefined || value === null || value === false) continue;
      if (name === 'class') element.className = value;
      else element.setAttribute(name, value);
    }
    for (const child of children.flat()) {
      if (child === undefined || child === null) continue;
      element.append(typeof child === 'string' || typeof child === 'number' ? String(child) : child);
    }
    return element;
  }

  function percent(value) {
    return value === null || value === undefined ? '–' : value.toFixed(1) + ' %';
  }
  function figure(value) {
    return value === null || value === undefined ? '–' : String(value);
  }
  function ago(seconds) {
    if (seconds < 90) return Math.round(seconds) + ' s ago';
    if (seconds < 5400) return Math.round(seconds / 60) + ' min ago';
    if (seconds < 172800) return (seconds / 3600).toFixed(1) + ' h ago';
    return Math.round(seconds / 86400) + ' days ago';
  }
  function link(path, query, text) {
    const search = new URLSearchParams();
    for (const [name, value] of Object.entries(query)) {
      if (value !== '' && value !== null && value !== undefined) search.set(name, value);
    }
    const text_query = search.toString();
    return el('a', { href: path + (text_query ? '?' + text_query : '') }, text);
  }
  function table(headers, rows, numeric) {
    return el('table', {},
      el('thead', {}, el('tr', {}, headers.map((h) => el('th', {}, h)))),
      el('tbody', {}, rows.map((row) => el('tr', {},
        row.map((cell, i) => el('td', { class: numeric && numeric[i] ? 'number' : null }, cell))))));
  }
  function chart(type, labels, datasets, options) {
    const canvas = el('canvas', {});
    const holder = el('div', { class: 'chart' }, canvas);
    if (window.Chart) {
      charts.push(new window.Chart(canvas, {
        type: type,
        data: { labels: labels, datasets: datasets },
        options: Object.assign({ animation: false, maintainAspectRatio: false }, options || {}),
      }));
    }
    return holder;
  }

  // ----- the pages

  // A port of a tile: what the station last reported it does, with the unit the rows say runs
  // there or ran last.
  function portItem(port) {
    const unit = port.unit || port.reported_unit;
    let doing = null;
    if (port.activity === 'writing') doing = 'writing' + (port.percent === null || port.percent === undefined ? '' : ' ' + port.percent + ' %');
    else if (port.activity === 'replug') doing = 're-plug';
    else if (port.activity === 'stopped') doing = 'stopped';
    if (port.running || (unit && doing && doing !== 'stopped')) {
      return el('li', { class: 'running', 'data-port': port.port }, port.port + ': ' + (doing || 'running') + ' ',
        (unit && (unit.serial || 'unit ' + unit.id)) || '', port.unit ? ' since ' + port.unit.started : null);
    }
    const last = port.last;
    if (!last) return el('li', { 'data-port': port.port }, port.port + ': ' + (doing || 'idle'));
    return el('li', { class: last.exit === 0 ? null : 'failed', 'data-port': port.port },
      port.port + ': ' + (doing ? doing + ', last ' : '') + (last.serial || 'unit ' + last.id) + ' — ' + last.message);
  }

  function linePage(data) {
    const tiles = data.stations.map((station) => {
      const state = station.state || (station.online ? 'online' : 'offline');
      const about = [station.host, station.version, station.job].filter((x) => x).join(' · ');
      return el('section', { class: 'tile' + (state === 'online' ? '' : ' ' + state), 'data-station': station.station, 'data-state': state },
        el('h2', {}, station.station),
        el('div', { class: 'state' }, state + ' · last report ' + ago(station.seconds_since_report)),
        about ? el('div', { class: 'about' }, about) : null,
        el('div', { class: 'figures' },
          el('span', {}, 'units'), el('span', { class: 'units' }, figure(station.units)),
          el('span', {}, 'units / hour'), el('span', {}, figure(station.units_per_hour)),
          el('span', {}, 'last hour'),
          el('span', {}, station.last_hour_units + ' units, ' + percent(station.last_hour_yield) + ' first pass'),
          el('span', {}, 'journal backlog'), el('span', { class: 'backlog' }, figure(station.journal_backlog)),
          el('span', {}, 'last push'), el('span', {}, figure(station.last_push))),
        el('ul', { class: 'ports' }, station.ports.map(portItem)));
    });
    return [el('h1', {}, 'Line: ' + data.stations.length + ' stations, ' + data.units + ' units'),
      tiles.length ? el('div', { class: 'tiles' }, tiles) : el('p', { class: 'muted' }, 'No units yet.')];
  }

  function yieldPage(data) {
    const choices = el('p', { class: 'choices' }, 'By: ',
      ['station', 'port', 'job', 'hour', 'shift'].map((by) => {
        const a = link('/yield', { by: by }, by);
        if (by === data.by) a.className = 'current';
        return a;
      }));
    const total = data.total;
    const summary = el('p', {}, 'All: ' + total.serials + ' serial numbers, ' + total.attempts +
      ' attempts; first-pass yield ' + percent(total.first_pass_yield) + ', final yield ' +
      percent(total.final_yield) + ', ' + figure(total.units_per_hour) + ' units / hour');
    const labels = data.groups.map((g) => g.key);
    const graph = chart(data.by === 'hour' ? 'line' : 'bar', labels, [
      { label: 'first-pass yield %', data: data.groups.map((g) => g.first_pass_yield), backgroundColor: '#5aa0ff', borderColor: '#5aa0ff' },
      { label: 'final yield %', data: data.groups.map((g) => g.final_yield), backgroundColor: '#2e7d32', borderColor: '#2e7d32' },
    ], { scales: { y: { min: 0, max: 100 } } });
    const rows = data.groups.map((g) => [g.key, figure(g.serials), figure(g.attempts),
      percent(g.first_pass_yield), percent(g.final_yield), figure(g.units_per_hour)]);
    return [el('h1', {}, 'Yield by ' + data.by), choices, summary, graph,
      table([data.by, 'serial numbers', 'attempts', 'first-pass yield', 'final yield', 'units / hour'],
        rows, [false, true, true, true, true, true])];
  }

  function failuresPage(data) {
    const select = (name, values, current) => el('select', { name: name },
      el('option', { value: '' }, 'all'),
      values.map((v) => el('option', { value: v, selected: v === current ? 'selected' : null }, v)));
    const form = el('form', { method: 'get', action: '/failures' },
      'Station ', select('station', data.stations, data.station), ' Port ',
      select('port', data.ports, data.port), ' ', el('button', { type: 'submit' }, 'Show'));
    const unitsOf = (bar) => ({ exit: bar.exit, station: data.station, port: data.port });
    const graph = chart('bar', data.bars.map((b) => 'exit ' + b.exit), [
      { type: 'bar', label: 'units', data: data.bars.map((b) => b.units), backgroundColor: '#c62828', yAxisID: 'y' },
      { type: 'line', label: 'cumulative %', data: data.bars.map((b) => b.cumulative_percent), borderColor: '#1d2330', yAxisID: 'percent' },
    ], {
      scales: { y: { beginAtZero: true }, percent: { position: 'right', min: 0, max: 100 } },
      onClick: (event, elements) => {
        if (!elements.length) return;
        const bar = data.bars[elements[0].index];
        const target = link('/unit', unitsOf(bar), '');
        location.href = target.getAttribute('href');
      },
    });
    const rows = data.bars.map((b) => [link('/unit', unitsOf(b), 'exit ' + b.exit), figure(b.units),
      b.cumulative_percent.toFixed(1) + ' %', b.message, b.detail]);
    return [el('h1', {}, 'Failures: ' + data.failed + ' units'), form, graph,
      table(['outcome', 'units', 'cumulative', 'message', 'what it means'], rows, [false, true, true])];
  }

  function unitPage(data) {
    const form = el('form', { method: 'get', action: '/unit' }, 'Serial number or unit id ',
      el('input', { name: 'q', value: data.query, autofocus: 'autofocus' }), ' ',
      el('button', { type: 'submit' }, 'Find'));
    const title = data.exit !== null ? 'Units that ended with exit ' + data.exit
      : data.query ? 'Attempts of ' + data.query : 'Find a unit';
    const rows = data.attempts.map((a) => [String(a.id), a.serial + (a.serial_released ? ' (released)' : ''),
      a.station, a.port, a.started, figure(a.ended), a.image_sha256,
      a.job_name ? a.job_name + ' revision ' + a.job_revision + ' (' + a.job_key + ')' : '–',
      a.exit === null ? 'unfinished' : 'exit ' + a.exit, a.message, a.detail, a.replug || '–']);
    const body = data.attempts.length || (!data.query && data.exit === null)
      ? table(['unit', 'serial', 'station', 'port', 'started', 'ended', 'image SHA-256', 'job',
        'outcome', 'message', 'what it means', 're-plug'], rows)
      : el('p', { class: 'muted' }, 'No unit found.');
    return [el('h1', {}, title), form, data.attempts.length ? el('p', { class: 'count' }, data.attempts.length + ' attempts') : null, body];
  }

  function alertsPage(data) {
    const s = data.settings;
    const rows = data.alerts.map((a) => [a.kind, a.subject, a.text]);
    return [el('h1', {}, 'Alerts: ' + data.alerts.length),
      data.alerts.length ? table(['kind', 'about', 'what'], rows) : el('p', { class: 'muted' }, 'None.'),
      el('h1', {}, 'Limits'),
      table(['limit', 'value'], [
        ['first-pass yield under', s.yield_below_percent + ' % over the last ' + s.yield_last_units + ' units'],
        ['station silent for', Math.round(s.station_silent_s / 60) + ' min'],
        ['unit unfinished for', Math.round(s.unit_unfinished_s / 60) + ' min'],
        ['journal backlog over', s.journal_backlog_over + ' units'],
      ])];
  }

  const pages = {
    '/': ['/api/line', linePage],
    '/yield': ['/api/yield', yieldPage],
    '/failures': ['/api/failures', failuresPage],
    '/unit': ['/api/unit', unitPage],
    '/alerts': ['/api/alerts', alertsPage],
  };

  // ----- the frame: store, banner, live state

  for (const a of document.querySelectorAll('header nav a')) {
    if (a.getAttribute('href') === page) a.className = 'current';
  }

  function banner(alerts) {
    const element = document.getElementById('banner');
    element.replaceChildren();
    element.hidden = alerts.length === 0;
    if (!alerts.length) return;
    const first = alerts.slice(0, 3).map((a) => a.subject + ': ' + a.text).join(' · ');
    element.append(el('a', { href: '/alerts' }, alerts.length + (alerts.length === 1 ? ' alert' : ' alerts')),
      ' — ' + first + (alerts.length > 3 ? ' …' : ''));
  }

  function live(up, text) {
    const element = document.getElementById('live');
    element.textContent = text;
    element.className = 'live ' + (up ? 'up' : 'down');
  }

  function render(data) {
    for (const c of charts) c.destroy();
    charts = [];
    document.getElementById('store').textContent = data.store;
    const storeError = document.getElementById('store-error');
    storeError.hidden = !data.store_error;
    storeError.textContent = data.store_error ? 'The production log cannot be read: ' + data.store_error : '';
    banner(data.alerts || []);
    main.replaceChildren(...pages[page][1](data));
    main.dataset.loaded = String(Date.now());
  }

  let lastFetch = 0;
  let pending = null;
  async function refresh() {
    pending = null;
    lastFetch = Date.now();
    try {
      const response = await fetch(pages[page][0] + location.search, { cache: 'no-store' });
      if (!response.ok) throw new Error('status ' + response.status);
      render(await response.json());
      live(true, 'live');
    } catch (error) {
      live(false, 'dashboard server unreachable, retrying');
    }
  }
  // at most one fetch a second, however often the rows change
  function schedule() {
    if (pending) return;
    pending = setTimeout(refresh, Math.max(0, 1000 - (Date.now() - lastFetch)));
  }

  if (!pages[page]) return;
  refresh();
  const events = new EventSource('/events');
  events.onmessage = schedule;
  events.onerror = () => live(false, 'reconnecting');
})();
