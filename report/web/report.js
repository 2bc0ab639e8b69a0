// The experiment report: header figures, the space-time timeline, and per-process
// time, grouped wait states, critical path, delay costs and the tasks outside the
// experiment, from the payload that kova's report writer made (report/html_report.h).
// window.kovaReport tells tests and benchmarks what the timeline drew and when.
(function () {
  'use strict';
  const P = KovaPage;
  const d = P.data();
  const h = d.header;
  const page = document.getElementById('kova-page');
  const status = { ready: false, lanes: 0, messageLines: 0, bandLanes: 0, drawMs: null, stepsMs: {} };
  status.stepsMs.parsed = performance.now();
  window.kovaReport = status;

  // ---- The phase columns, decoded.
  const n = d.phases.type.length;
  const type = Int32Array.from(d.phases.type);
  const dur = Float64Array.from(d.phases.duration);
  const start = new Float64Array(n);
  const proc = new Int32Array(n);
  const nbr = new Int32Array(n);
  d.lanes.forEach((lane) => proc.fill(lane.process, lane.first, lane.first + lane.count));
  const moved = d.phases.moved, renumbered = d.phases.renumbered;
  for (let i = 0, m = 0, r = 0; i < n; ++i) {
    const first = i === 0 || proc[i] !== proc[i - 1];
    if (m < moved.length && moved[m][0] === i) start[i] = moved[m++][1];
    else start[i] = start[i - 1] + dur[i - 1];
    if (r < renumbered.length && renumbered[r][0] === i) nbr[i] = renumbered[r++][1];
    else nbr[i] = first ? 1 : nbr[i - 1] + 1;
  }
  const commentOf = new Map(d.phases.comments.map(([i, c]) => [i, d.phases.commentTexts[c]]));
  const undelta = (a) => { const out = new Int32Array(a.length); let v = 0; a.forEach((x, i) => { v += x; out[i] = v; }); return out; };
  const send = undelta(d.messages.send), recv = undelta(d.messages.recv), delay = d.messages.delay;
  const messageOf = new Int32Array(n).fill(-1);
  for (let m = 0; m < send.length; ++m) { messageOf[send[m]] = m; messageOf[recv[m]] = m; }
  const lostSend = undelta(d.messages.unreceivedSend);
  const lostTo = new Map(Array.from(lostSend, (s, i) => [s, d.messages.unreceivedTo[i]]));
  const otherPartner = new Map(d.messages.otherPartners);
  const outside = new Map(d.outsidePartners);
  const waitPhase = undelta(d.waits.phase), waitCause = undelta(d.waits.cause);
  const waitTime = d.waits.time, waitPattern = d.waits.pattern;
  const waitOf = new Int32Array(n).fill(-1);
  waitPhase.forEach((p, w) => { waitOf[p] = w; });

  status.stepsMs.decoded = performance.now();

  // ---- Lanes, types and names.
  const lanes = d.lanes;
  const laneOf = [];
  lanes.forEach((lane, i) => { laneOf[lane.process] = i; });
  // A lane is named by its process's name and host; its tid shows on hover.
  const laneName = (k) => { const l = lanes[laneOf[k]]; return l.name + ' · ' + l.host; };
  const laneTitle = (l) => 'tid ' + l.tid + ', process ID ' + l.id + (l.master ? ', the master' : '');
  const typeInfo = new Map(d.types.map((t) => [t.id, t]));
  const typeName = (t) => (typeInfo.has(t) ? typeInfo.get(t).name : 'type ' + t);
  const colour = (t) => (typeInfo.has(t) ? typeInfo.get(t).colour : '#999');
  const typeSlot = new Map(d.types.map((t, i) => [t.id, i]));
  let tEnd = 1;
  for (let i = 0; i < n; ++i) tEnd = Math.max(tEnd, start[i] + dur[i]);
  const phaseName = (i) => laneName(proc[i]) + ' phase ' + nbr[i];

  // ---- Header.
  document.title = 'KOVA experiment ' + h.id + ': ' + h.application;
  page.appendChild(P.el('h1', { text: 'Experiment ' + h.id + ': ' + h.application +
    (h.version ? ' ' + h.version : '') }));
  const fixed = (x, digits) => (Number.isFinite(x) ? x.toFixed(digits) : String(x));
  page.appendChild(P.el('div', { class: 'figures' }, [
    P.figure('application', 'application', h.application),
    P.figure('user', 'user', h.user),
    P.figure('date', 'date', h.date),
    P.figure('p', 'p (processors)', h.p),
    P.figure('W', 'W (work size)', h.W),
    P.figure('processes', 'processes', h.processes),
    P.figure('Tp', 'Tp (parallel time)', h.Tp, P.micros(h.Tp)),
  ].concat(h.runLength > 0 && h.runLength !== h.Tp
    ? [P.figure('runLength', 'run\'s length (first start to last end)', h.runLength, P.micros(h.runLength))] : [], [
    P.figure('Ts', 'Ts (sequential time)', h.Ts, h.Ts > 0 ? P.micros(h.Ts) : 'not known'),
    P.figure('speedup', 'speedup', h.speedup, h.speedupKnown ? fixed(h.speedup, 3) : 'not known'),
    P.figure('efficiency', 'efficiency', h.efficiency, h.speedupKnown ? fixed(h.efficiency, 3) : 'not known'),
    P.figure('status', 'status', h.status, h.statusName),
    P.figure('errorFlags', 'error flags', h.errorFlags, h.errorNames),
    P.figure('unreceived', 'unreceived messages', h.unreceived),
    P.figure('repairedMessages', 'clock-repaired messages', h.repairedMessages),
  ])));
  if (h.referenceMissing) page.appendChild(P.el('p', { class: 'note', id: 'reference-note', text:
    'No sequential reference was found in the database, so Ts, speedup and efficiency are not known; ' +
    'kova analyse --sequential ID names one.' }));
  if (h.comment) page.appendChild(P.el('p', { class: 'note', text: h.comment }));
  h.problems.forEach((text) => page.appendChild(P.el('p', { class: 'note warning', text })));

  // ---- Where the time went: the metric tree, each node with its share of the root.
  // Where the probe stored its own cost, each node's time without it stands beside
  // the measured one (the node of the same name in the compensated tree).
  const tree = P.section('Where the time went');
  const comp = d.compensation;
  const treeRows = [];
  (function walk(node, without, depth) {
    const row = ['\u00a0\u00a0'.repeat(depth) + node.name, P.micros(node.time), (100 * node.share).toFixed(1) + ' %'];
    if (comp.known) row.push(without ? P.micros(without.time) : '');
    treeRows.push(row);
    node.children.forEach((child) => walk(child,
      without && without.children.find((c) => c.name === child.name), depth + 1));
  })(d.metricTree, comp.known ? comp.metricTree : null, 0);
  if (comp.known) tree.appendChild(P.el('p', { class: 'note', id: 'compensation-note', text:
    'The probe\'s own cost, ' + P.micros(comp.correction) + ' (' + (100 * comp.share).toFixed(2) +
    ' % of the measured time), is taken out of the phases it lay in in the last column; ' +
    'the measured times stay as stored.' }));
  const treeTable = P.table(['', 'time', 'share'].concat(comp.known ? ['without the probe\'s cost'] : []), treeRows);
  treeTable.id = 'metric-tree';
  tree.appendChild(treeTable);

  // ---- Timeline.
  const timeline = P.section('Timeline');
  const clockNote = h.repairedMessages > 0
    ? 'Times on the master\'s clock, repaired: ' + h.repairedMessages + ' receives (' + h.clockViolations +
      ' clock violations) moved after their sends, by at most ' + P.micros(h.largestRepair) + '.'
    : 'Times on the master\'s clock' + (h.driftCorrected ? ', slave clock drift corrected.' : '; no repair needed.');
  timeline.appendChild(P.el('p', { class: 'note', text: clockNote + ' Wheel or drag to zoom and pan; ' +
    'where phases are denser than the pixels, each lane shows its time per type in bands.' }));
  timeline.appendChild(P.el('div', { class: 'legend' }, d.types.map((t) =>
    P.el('span', {}, [P.el('i', { style: 'background:' + t.colour }), document.createTextNode(t.name)]))));
  const notice = P.el('p', { class: 'note', id: 'timeline-notice' });
  timeline.appendChild(notice);

  const LANE_PX = 30, MESSAGE_LIMIT = 20000, PATH_LIMIT = 20000, BUCKET_PX = 3, DETAIL_PX = 4;
  const gridLeft = 150, gridRight = 30;
  const laneLabels = lanes.map((l) => laneName(l.process));
  status.laneLabels = laneLabels;

  // First phase of a lane that ends after t, by binary search on its shown starts.
  function firstEndingAfter(lane, t) {
    let lo = lane.first, hi = lane.first + lane.count;
    while (lo < hi) { const mid = (lo + hi) >> 1; if (start[mid] + dur[mid] <= t) lo = mid + 1; else hi = mid; }
    return lo;
  }
  function firstStartingAfter(lane, t) {
    let lo = lane.first, hi = lane.first + lane.count;
    while (lo < hi) { const mid = (lo + hi) >> 1; if (start[mid] < t) lo = mid + 1; else hi = mid; }
    return lo;
  }

  // Items of the phase series in the window [x0, x1] on a plot width px wide. A lane
  // with at most one phase per DETAIL_PX pixels gets one item per phase, [lane, from,
  // to, type, phase]; a denser one gets one band per type, [lane, x0, x1, type, -1,
  // band], whose outline (bands[band]) stacks each bucket's time fractions.
  let bands = [];
  function phaseItems(x0, x1, px) {
    const items = [], detailLanes = new Set();
    bands = [];
    const buckets = Math.max(1, Math.floor(px / BUCKET_PX)), w = (x1 - x0) / buckets, nt = d.types.length;
    lanes.forEach((lane, li) => {
      const lo = firstEndingAfter(lane, x0), hi = firstStartingAfter(lane, x1);
      if (hi - lo <= px / DETAIL_PX) {
        for (let i = lo; i < hi; ++i) items.push([li, start[i], start[i] + dur[i], type[i], i, -1]);
        detailLanes.add(li);
        return;
      }
      const acc = new Float64Array(buckets * nt);
      for (let i = lo; i < hi; ++i) {
        const s = Math.max(start[i], x0), e = Math.min(start[i] + dur[i], x1), slot = typeSlot.get(type[i]);
        for (let b = Math.floor((s - x0) / w); b < buckets && x0 + b * w < e; ++b) {
          const overlap = Math.min(e, x0 + (b + 1) * w) - Math.max(s, x0 + b * w);
          if (overlap > 0) acc[b * nt + slot] += overlap;
        }
      }
      const below = new Float64Array(buckets);
      for (let t = 0; t < nt; ++t) {
        const top = Float64Array.from(below), bottom = new Float64Array(buckets);
        let any = false;
        for (let b = 0; b < buckets; ++b) {
          below[b] += Math.min(acc[b * nt + t] / w, 1);
          bottom[b] = below[b];
          any = any || acc[b * nt + t] > 0;
        }
        if (!any) continue;
        bands.push({ top, bottom, x0, w });
        items.push([li, x0, x1, d.types[t].id, -1, bands.length - 1]);
      }
    });
    status.bandLanes = lanes.length - detailLanes.size;
    return { items, detailLanes };
  }

  // Received messages whose line crosses the window: [send lane, send end, receive lane, receive start, message].
  function messageItems(x0, x1) {
    const items = [];
    for (let m = 0; m < send.length; ++m) {
      const s = send[m], r = recv[m], a = start[s] + dur[s], b = start[r];
      if (Math.max(a, b) >= x0 && Math.min(a, b) <= x1)
        items.push([laneOf[proc[s]], a, laneOf[proc[r]], b, m]);
    }
    return items;
  }

  // Waits of the lanes drawn in detail: [lane, from, to, pattern, wait].
  function waitItems(x0, x1, detailLanes) {
    const items = [];
    for (let w = 0; w < waitPhase.length; ++w) {
      const i = waitPhase[w], lane = laneOf[proc[i]], s = start[i], e = s + Math.max(waitTime[w], 1);
      if (detailLanes.has(lane) && e >= x0 && s <= x1) items.push([lane, s, e, waitPattern[w], w]);
    }
    return items;
  }

  // Critical path segments in the window: [lane, begin, end, next lane (or -1)].
  const path = d.criticalPath.segments;
  function pathItems(x0, x1) {
    const items = [];
    path.forEach(([k, b, e], j) => {
      if (e >= x0 && b <= x1) items.push([laneOf[k], b, e, j + 1 < path.length ? laneOf[path[j + 1][0]] : -1]);
    });
    return items;
  }

  function clipped(params, x, y, width, height) {
    const c = params.coordSys;
    return echarts.graphic.clipRectByRect({ x, y, width, height }, { x: c.x, y: c.y, width: c.width, height: c.height });
  }
  function renderPhase(params, api) {
    const laneHeight = api.size([0, 1])[1] * 0.62;
    const a = api.coord([api.value(1), api.value(0)]), b = api.coord([api.value(2), api.value(0)]);
    const y = a[1] - laneHeight / 2, style = { fill: colour(api.value(3)) };
    if (api.value(5) < 0) {
      const shape = clipped(params, a[0], y, Math.max(b[0] - a[0], 0.6), laneHeight);
      return shape && { type: 'rect', shape, style };
    }
    const band = bands[api.value(5)], points = [], scale = (b[0] - a[0]) / (band.w * band.top.length);
    const x = (k) => a[0] + k * band.w * scale;
    for (let k = 0; k < band.top.length; ++k)
      points.push([x(k), y + laneHeight * band.top[k]], [x(k + 1), y + laneHeight * band.top[k]]);
    for (let k = band.top.length - 1; k >= 0; --k)
      points.push([x(k + 1), y + laneHeight * band.bottom[k]], [x(k), y + laneHeight * band.bottom[k]]);
    return { type: 'polygon', shape: { points }, style };
  }
  function renderWait(params, api) {
    const a = api.coord([api.value(1), api.value(0)]), b = api.coord([api.value(2), api.value(0)]);
    const laneHeight = api.size([0, 1])[1] * 0.62;
    const shape = clipped(params, a[0], a[1] + laneHeight / 2 - 4, Math.max(b[0] - a[0], 2), 4);
    const late = d.waits.patternNames[api.value(3)] !== 'unexplained';
    return shape && { type: 'rect', shape, style: { fill: late ? '#c53030' : '#d69e2e' } };
  }
  let selectedMessage = -1;
  function renderMessage(params, api) {
    const a = api.coord([api.value(1), api.value(0)]), b = api.coord([api.value(3), api.value(2)]);
    const chosen = api.value(4) === selectedMessage;
    return { type: 'line', shape: { x1: a[0], y1: a[1], x2: b[0], y2: b[1] },
      style: { stroke: chosen ? '#c53030' : 'rgba(26,32,44,0.55)', lineWidth: chosen ? 2.5 : 0.8 } };
  }
  function renderPath(params, api) {
    const laneHeight = api.size([0, 1])[1] * 0.62;
    const a = api.coord([api.value(1), api.value(0)]), b = api.coord([api.value(2), api.value(0)]);
    const top = a[1] - laneHeight / 2 - 3;
    const children = [{ type: 'line', shape: { x1: a[0], y1: top, x2: b[0], y2: top },
      style: { stroke: '#d69e2e', lineWidth: 3 } }];
    if (api.value(3) >= 0 && api.value(3) !== api.value(0)) {
      const c = api.coord([api.value(2), api.value(3)]);
      children.push({ type: 'line', shape: { x1: b[0], y1: top, x2: c[0], y2: c[1] - laneHeight / 2 - 3 },
        style: { stroke: '#d69e2e', lineWidth: 1.5, lineDash: [3, 3] } });
    }
    return { type: 'group', children };
  }

  function phaseDetails(i) {
    const lines = [typeName(type[i]) + ' — ' + phaseName(i) + ' (tid ' + lanes[laneOf[proc[i]]].tid + ')',
      'start ' + P.micros(start[i]) + ', duration ' + P.micros(dur[i])];
    const m = messageOf[i];
    if (m >= 0) {
      const other = i === send[m] ? recv[m] : send[m];
      lines.push((i === send[m] ? 'to ' : 'from ') + phaseName(other) + ', delay ' + P.micros(delay[m]));
    } else if (lostTo.has(i)) {
      lines.push('to ' + laneName(lostTo.get(i)) + ', never received');
    } else if (otherPartner.has(i)) {
      const tid = otherPartner.get(i);
      lines.push('partner tid ' + tid + (outside.has(tid) ? ', a task outside the experiment' : ', no matching message'));
    }
    if (waitOf[i] >= 0) lines.push(waitText(waitOf[i]));
    if (commentOf.has(i)) lines.push('comment: ' + commentOf.get(i));
    return lines;
  }
  function waitText(w) {
    const pattern = d.waits.patternNames[waitPattern[w]];
    if (waitCause[w] < 0) return pattern + ' wait ' + P.micros(waitTime[w]) + ', no message explains it';
    return pattern + ' wait ' + P.micros(waitTime[w]) + ' (then ' + P.micros(d.waits.transfer[w]) +
      ' transfer), caused by ' + phaseName(waitCause[w]) + ' (' + typeName(type[waitCause[w]]) + ')';
  }
  const escapeHtml = (s) => s.replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' }[c]));
  function tooltip(params) {
    const v = params.value;
    let lines;
    if (params.seriesId === 'phases') {
      lines = v[4] >= 0 ? phaseDetails(v[4])
        : [laneLabels[v[0]], typeName(v[3]) + ' (time per type in bands)', 'zoom in for the phases'];
    } else if (params.seriesId === 'messages') {
      const m = v[4];
      lines = ['message ' + phaseName(send[m]) + ' → ' + phaseName(recv[m]), 'sent ' + P.micros(v[1]) +
        ', received ' + P.micros(v[3]) + ', delay ' + P.micros(delay[m])];
    } else if (params.seriesId === 'waits') {
      lines = [phaseName(waitPhase[v[4]]), waitText(v[4])];
    } else {
      lines = ['critical path on ' + laneLabels[v[0]], P.micros(v[1]) + ' – ' + P.micros(v[2])];
    }
    return lines.map(escapeHtml).join('<br>');
  }

  const chartHeight = Math.max(260, lanes.length * LANE_PX + 110);
  const timelineChart = P.chart(timeline, chartHeight, {
    tooltip: { trigger: 'item', formatter: tooltip, confine: true },
    grid: { left: gridLeft, right: gridRight, top: 20, bottom: 70 },
    xAxis: { type: 'value', min: 0, max: tEnd, axisLabel: { formatter: (x) => P.micros(x) } },
    yAxis: { type: 'category', data: laneLabels, inverse: true, splitLine: { show: true }, triggerEvent: true },
    dataZoom: [
      { type: 'slider', xAxisIndex: 0, filterMode: 'none', labelFormatter: (x) => P.micros(x) },
      { type: 'inside', xAxisIndex: 0, filterMode: 'none' },
    ],
    series: [
      { id: 'phases', type: 'custom', renderItem: renderPhase, encode: { x: [1, 2], y: 0 }, data: [], clip: true },
      { id: 'path', type: 'custom', renderItem: renderPath, encode: { x: [1, 2], y: 0 }, data: [], z: 3, clip: true },
      { id: 'waits', type: 'custom', renderItem: renderWait, encode: { x: [1, 2], y: 0 }, data: [], z: 4, clip: true },
      { id: 'messages', type: 'custom', renderItem: renderMessage, encode: { x: [1, 3], y: [0, 2] }, data: [], z: 5,
        clip: true },
    ],
  });
  status.lanes = timelineChart.getOption().yAxis[0].data.length;
  // A lane's label tells its tid on hover.
  timelineChart.on('mouseover', (params) => {
    if (params.componentType === 'yAxis') timelineChart.getDom().title = laneTitle(lanes[laneLabels.indexOf(params.value)]);
  });
  timelineChart.on('mouseout', (params) => {
    if (params.componentType === 'yAxis') timelineChart.getDom().title = '';
  });

  let view = [0, tEnd];
  function redraw() {
    const [x0, x1] = view;
    const px = Math.max(100, timelineChart.getWidth() - gridLeft - gridRight);
    const phases = phaseItems(x0, x1, px);
    let messages = messageItems(x0, x1), pathSegments = pathItems(x0, x1);
    const notes = [];
    if (messages.length > MESSAGE_LIMIT) {
      notes.push(messages.length + ' messages in view: zoom in to draw their lines.');
      messages = [];
    }
    if (pathSegments.length > PATH_LIMIT) {
      notes.push('The critical path has ' + pathSegments.length + ' stretches in view: zoom in to draw it.');
      pathSegments = [];
    }
    if (status.bandLanes > 0) notes.push(status.bandLanes + ' of ' + lanes.length + ' lanes show bands.');
    notice.textContent = notes.join(' ');
    timelineChart.setOption({ series: [
      { id: 'phases', data: phases.items },
      { id: 'path', data: pathSegments },
      { id: 'waits', data: waitItems(x0, x1, phases.detailLanes) },
      { id: 'messages', data: messages },
    ] });
    status.messageLines = messages.length;
  }
  let pending = false;
  timelineChart.on('datazoom', () => {
    const zoom = timelineChart.getOption().dataZoom[0];
    view = [tEnd * zoom.start / 100, tEnd * zoom.end / 100];
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => { pending = false; redraw(); });
  });
  // Shows the window [a, b] of the timeline.
  function zoomTo(a, b) {
    const margin = Math.max((b - a) * 0.5, 50);
    timelineChart.dispatchAction({ type: 'dataZoom', startValue: Math.max(0, a - margin),
      endValue: Math.min(tEnd, b + margin) });
  }
  timelineChart.on('click', (params) => {
    if (params.seriesId !== 'waits') return;
    showWait(params.value[4]);
  });
  function showWait(w) {
    const i = waitPhase[w];
    selectedMessage = waitCause[w] >= 0 ? messageOf[waitCause[w]] : -1;
    const from = waitCause[w] >= 0 ? Math.min(start[waitCause[w]], start[i]) : start[i];
    zoomTo(from, start[i] + dur[i] + (i + 1 < n ? dur[i + 1] : 0));
    timeline.scrollIntoView();
  }
  timelineChart.on('finished', function first() {
    timelineChart.off('finished', first);
    status.drawMs = performance.now();
    status.stepsMs.drawn = status.drawMs;
    status.ready = true;
  });
  // Shows the window [from, to] percent of the run at once; returns what it drew.
  status.zoom = (from, to) => {
    timelineChart.dispatchAction({ type: 'dataZoom', start: from, end: to });
    view = [tEnd * from / 100, tEnd * to / 100];
    redraw();
    return { bandLanes: status.bandLanes, messageLines: status.messageLines };
  };
  status.stepsMs.charted = performance.now();
  redraw();
  status.stepsMs.redrawn = performance.now();

  // ---- Time per process by phase type.
  const byType = P.section('Time of each process by phase type');
  P.chart(byType, Math.max(200, lanes.length * 26 + 80), {
    tooltip: { trigger: 'axis', axisPointer: { type: 'shadow' }, valueFormatter: (x) => P.micros(x) },
    legend: { top: 0 },
    grid: { left: gridLeft, right: gridRight, top: 40, bottom: 30 },
    xAxis: { type: 'value', axisLabel: { formatter: (x) => P.micros(x) } },
    yAxis: { type: 'category', data: laneLabels, inverse: true },
    series: d.types.map((t) => ({ name: t.name, type: 'bar', stack: 'time', itemStyle: { color: t.colour },
      data: lanes.map((l) => l.timeByType[t.id] || 0) })),
  });

  // ---- Wait states by pattern, waiting process and the process that caused them,
  // the largest total first; a group's row opens its single waits, largest first.
  const waits = P.section('Wait states');
  const groups = new Map();
  for (let w = 0; w < waitPhase.length; ++w) {
    const c = waitCause[w], cause = c >= 0 ? proc[c] : -1;
    const key = waitPattern[w] + ' ' + proc[waitPhase[w]] + ' ' + cause;
    if (!groups.has(key)) groups.set(key, { pattern: waitPattern[w], process: proc[waitPhase[w]], cause,
      waits: [], total: 0, transfer: 0, largest: 0 });
    const g = groups.get(key);
    g.waits.push(w);
    g.total += waitTime[w];
    g.transfer += d.waits.transfer[w];
    g.largest = Math.max(g.largest, waitTime[w]);
  }
  const grouped = Array.from(groups.values()).sort((a, b) => b.total - a.total || a.process - b.process);
  const DETAIL_ROWS = 100;
  waits.appendChild(P.el('p', { class: 'note', text: waitPhase.length + ' wait states in ' + grouped.length +
    ' groups; click a group for its single waits (the ' + DETAIL_ROWS + ' largest), a wait to see it on the timeline.' }));
  const groupTable = P.table(['pattern', 'process', 'caused by', 'waits', 'total wait', 'largest', 'transfer'],
    grouped.map((g) => [d.waits.patternNames[g.pattern], laneName(g.process), g.cause >= 0 ? laneName(g.cause) : '—',
      g.waits.length, P.micros(g.total), P.micros(g.largest), P.micros(g.transfer)]), (row) => showGroup(row));
  groupTable.id = 'wait-groups';
  waits.appendChild(groupTable);
  let details = null;
  function showGroup(row) {
    if (details) details.remove();
    const g = grouped[row];
    const single = g.waits.slice().sort((a, b) => waitTime[b] - waitTime[a] || waitPhase[a] - waitPhase[b])
      .slice(0, DETAIL_ROWS);
    details = P.table(['process', 'phase', 'pattern', 'wait', 'cause process', 'cause phase'], single.map((w) => {
      const i = waitPhase[w], c = waitCause[w];
      return [laneName(proc[i]), nbr[i], d.waits.patternNames[waitPattern[w]], P.micros(waitTime[w]),
        c >= 0 ? laneName(proc[c]) : '—', c >= 0 ? nbr[c] : '—'];
    }), (r) => showWait(single[r]));
    details.id = 'wait-details';
    groupTable.rows[row + 1].after(P.el('tr', {}, [P.el('td', { colspan: '7' }, [details])]));
    details = details.closest('tr');
  }

  // ---- Critical path.
  const critical = P.section('Critical path');
  const cp = d.criticalPath;
  critical.appendChild(P.el('p', { class: 'note', text: 'Length ' + P.micros(cp.length) + ' in ' + path.length +
    ' stretches; highlighted on the timeline.' }));
  const pathTypes = Object.keys(cp.byType).map(Number);
  if (pathTypes.length > 0) {
    P.chart(critical, 60 + 26 * pathTypes.length, {
      tooltip: { trigger: 'item', valueFormatter: (x) => P.micros(x) },
      grid: { left: gridLeft, right: gridRight, top: 10, bottom: 30 },
      xAxis: { type: 'value', axisLabel: { formatter: (x) => P.micros(x) } },
      yAxis: { type: 'category', data: pathTypes.map(typeName), inverse: true },
      series: [{ type: 'bar', data: pathTypes.map((t) => ({ value: cp.byType[t], itemStyle: { color: colour(t) } })) }],
    });
  }
  critical.appendChild(P.table(['process', 'time on the path', 'share'], lanes.map((l) => {
    const t = cp.byProcess[l.process] || 0;
    return [laneName(l.process), P.micros(t), cp.length > 0 ? (100 * t / cp.length).toFixed(1) + ' %' : '—'];
  })));

  // ---- Delay costs and unreceived messages.
  const costs = P.section('Delay costs by cause');
  costs.appendChild(P.el('p', { class: 'note', text: 'Each wait charged to the excess time of its sender in their ' +
    'synchronisation interval (short-term); a share that was itself a wait is passed on to that wait\'s causes ' +
    '(long-term). The costs add up to the waits.' }));
  if (d.delayCosts.length === 0) costs.appendChild(P.el('p', { class: 'note', text: 'No late-sender waits.' }));
  else costs.appendChild(P.table(['cause process', 'cause', 'short-term', 'long-term', 'total'],
    d.delayCosts.slice(0, 30).map(([k, cause, shortTerm, longTerm]) =>
      [laneName(k), cause, P.micros(shortTerm), P.micros(longTerm), P.micros(shortTerm + longTerm)])));
  if (d.outsidePartners.length > 0) {
    const others = P.section('Tasks outside the experiment');
    others.appendChild(P.el('p', { class: 'note', text: 'Phases name these tids as their partners, but they are ' +
      'no process of this experiment: servers (such as PVM\'s group server) or tasks of other experiments, which ' +
      'are not measured; the analysis leaves their messages out.' }));
    const table = P.table(['tid', 'phases naming it'], d.outsidePartners.map(([tid, count]) => [tid, count]));
    table.id = 'outside-tasks';
    others.appendChild(table);
  }
  if (d.unreceived.length > 0) {
    const lost = P.section('Unreceived messages');
    lost.appendChild(P.table(['sender', 'addressee', 'messages'],
      d.unreceived.map(([a, b, count]) => [laneName(a), laneName(b), count])));
  }
})();
