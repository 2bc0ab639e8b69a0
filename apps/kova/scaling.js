// The scaling page: for each metric (and the overhead of each phase type) a chart over
// p with the measured points and the fitted models of every W in one colour per W, the
// models over p and W dashed, the predictions marked with their intervals; the
// overhead by phase type, the isoefficiency, the runs and what the series lacks. When
// drawn, window.kovaReport.ready is set and an element data-figure="charts" holds, per
// chart, its series as drawn (name, kind, colour, largest p), for checking the page.
(function () {
  'use strict';
  const P = KovaPage;
  const study = P.data();
  const titles = {
    Tp: 'Parallel time Tp (µs)', speedup: 'Speedup Ts / Tp', efficiency: 'Efficiency S / p',
    karpFlatt: 'Karp-Flatt serial fraction', overhead: 'Total overhead T_o = p·Tp − Ts (µs)',
  };
  const palette = ['#5470c6', '#ee6666', '#3ba272', '#fc8452', '#9a60b4', '#73c0de', '#fac858', '#ea7ccc',
    '#91cc75', '#333333'];
  const fmt = (v, digits) => (v === null || v === undefined ? '' : Number(v).toPrecision(digits || 4));
  const Ws = [...new Set(study.rows.map((row) => row.W).concat(study.predictions.map((pr) => pr.W)))]
    .sort((a, b) => a - b);
  const colour = (W) => palette[Ws.indexOf(W) % palette.length];
  const drawn = {};

  document.title = 'Scaling of ' + study.application;
  document.getElementById('kova-page').appendChild(P.el('h1', { text: 'Scaling of ' + study.application }));
  document.getElementById('kova-page').appendChild(P.el('p', { class: 'note', text:
    'Each configuration\'s Tp is its ' + (study.aggregation === 'fastest' ? 'fastest run\'s' : 'median run\'s') +
    '; speedup, efficiency, Karp-Flatt and overhead follow from that Tp and Ts, and so do their predictions ' +
    '(unless asked for by their own models); models are chosen by the SMAPE of leave-one-configuration-out predictions; predictions carry their 95 % ' +
    'prediction interval.' }));
  if (study.implausible.length) {
    const runs = (list) => list.join(', ');
    P.section('Implausible values (beyond the spread of the runs)', study.implausible.map((v) => {
      const text = 'W ' + v.W + ', p ' + v.p + ': ' + v.metric + ' ' + fmt(v.value) + ' ' + v.why + ' (Tp of run(s) ' +
        runs(v.tpRuns) + (v.tsRuns.length ? '; Ts of run(s) ' + runs(v.tsRuns) : '') + ')';
      return P.el('p', { class: 'note warning', text: text, 'data-figure': 'implausible ' + v.metric + ' p ' + v.p +
        ' W ' + v.W, 'data-value': text });
    }));
  }
  if (study.leftOut.length)
    P.section('Runs left out', study.leftOut.map((r) => P.el('p', { class: 'note', text: 'Run ' + r.expID + ' (W ' +
      r.W + ', p ' + r.p + '): ' + r.reason, 'data-figure': 'left out ' + r.expID, 'data-value': r.reason })));
  if (study.notes.length)
    P.section('Notes', study.notes.map((n) => P.el('p', { class: 'note warning', text: n })));

  const modelLine = (m) => {
    const name = (m.overPAndW ? 'p, W: ' + m.metric + '(p, W)' : 'W ' + m.W + ': ' + m.metric + '(p)');
    if (!m.model) return { name, text: name + ' = ' + m.note };
    const e = m.model.error;
    return { name, text: name + ' = ' + m.model.text + '  (SMAPE ' + fmt(e.smape, 3) + ' %, cross-validated ' +
      fmt(e.cvSmape, 3) + ' %, adjusted R² ' + fmt(e.adjustedRSquared) + ', ' + m.model.configurations +
      ' configurations, ' + m.model.runs + ' runs)' + (m.model.warning ? '  IMPLAUSIBLE: ' + m.model.warning : '') };
  };

  // One chart per metric: points, model curves and predictions.
  const metrics = [...new Set(study.models.map((m) => m.metric))];
  metrics.sort((a, b) => (a in titles ? Object.keys(titles).indexOf(a) : 99) - (b in titles ? Object.keys(titles).indexOf(b) : 99));
  metrics.forEach((metric) => {
    const models = study.models.filter((m) => m.metric === metric);
    const series = [];
    const lines = [];
    models.forEach((m) => {
      const line = modelLine(m);
      lines.push(P.el('p', { class: 'note' + (m.model && m.model.warning ? ' warning' : ''), text: line.text,
        'data-figure': 'model ' + line.name, 'data-value': line.text }));
      if (!m.overPAndW) {
        const c = colour(m.W);
        series.push({ name: 'W ' + m.W, type: 'scatter', data: m.points.map((pt) => [pt[0], pt[1]]), symbolSize: 8,
          itemStyle: { color: c }, kind: 'points' });
        if (m.curve) series.push({ name: 'W ' + m.W, type: 'line', data: m.curve, showSymbol: false,
          itemStyle: { color: c }, lineStyle: { color: c, width: 2 }, kind: 'model' });
      } else if (m.curves) {
        m.curves.forEach((curve) => {
          const c = colour(curve.W);
          series.push({ name: 'W ' + curve.W, type: 'line', data: curve.curve, showSymbol: false,
            itemStyle: { color: c }, lineStyle: { color: c, width: 1, type: 'dashed' }, kind: 'model over p and W' });
        });
      }
    });
    study.predictions.filter((pr) => pr.metric === metric).forEach((pr) => {
      const c = colour(pr.W);
      // An interval that says nothing is not drawn, only named with its reason.
      if (!pr.uninformative)
        series.push({ name: 'W ' + pr.W, type: 'line', data: [[pr.p, pr.low], [pr.p, pr.high]], symbol: 'none',
          itemStyle: { color: c }, lineStyle: { color: c, width: 3, opacity: 0.5 }, kind: 'interval' });
      series.push({ name: 'W ' + pr.W, type: 'scatter', data: [[pr.p, pr.value]], symbol: 'diamond', symbolSize: 14,
        itemStyle: { color: c, borderColor: '#000', borderWidth: 1 }, kind: 'prediction' });
      const model = pr.overPAndW ? 'model over p and W' : 'model over p';
      const text = 'Predicted at p = ' + pr.p + ', W = ' + pr.W + ': ' + fmt(pr.value) +
        (pr.uninformative ? ' (interval uninformative: ' + pr.uninformative + ')'
          : ' (95 %: ' + fmt(pr.low) + ' to ' + fmt(pr.high) + ')') +
        (pr.from === 'Tp' ? ' from the predicted Tp (' + model + ') and Ts = ' + fmt(pr.Ts) +
          (pr.TsPredicted ? ' (that model\'s Tp at p = 1)' : '') : ' by the ' + model) +
        (pr.implausible ? '  IMPLAUSIBLE: ' + pr.implausible : '');
      lines.push(P.el('p', { class: 'note' + (pr.implausible || pr.uninformative ? ' warning' : ''), text: text,
        'data-figure': 'prediction ' + metric + ' p ' + pr.p + ' W ' + pr.W + (pr.overPAndW ? ' pW' : ''),
        'data-value': text }));
    });
    const title = titles[metric] || 'Overhead of type ' + metric.replace(/^overhead:/, '') + ' (µs)';
    const node = P.section(title, lines);
    series.forEach((s, k) => { s.id = s.kind + '|' + k; delete s.kind; });
    const chart = P.chart(node, 320, {
      tooltip: { trigger: 'item' }, legend: { top: 0, data: [...new Set(series.map((s) => s.name))] },
      xAxis: { type: 'value', name: 'p', minInterval: 1, scale: true }, yAxis: { type: 'value', scale: true },
      series: series,
    });
    drawn[metric] = chart.getOption().series.map((s) => ({ name: s.name, kind: s.id.split('|')[0],
      colour: s.itemStyle.color, largestP: Math.max(...s.data.map((d) => d[0])) }));
  });

  // Overhead by phase type: a stacked bar per configuration.
  const types = [...new Set(study.rows.flatMap((row) => Object.keys(row.overheadByType || {})))].sort();
  const withOverhead = study.rows.filter((row) => row.overhead !== null);
  if (withOverhead.length && types.length) {
    const node = P.section('Overhead by phase type (µs)', [
      P.el('p', { class: 'note', text: 'T_o split into each non-work type\'s time, the work beyond Ts, and the time of p·Tp that no phase covers.' })]);
    P.chart(node, 320, {
      tooltip: { trigger: 'axis' }, legend: { top: 0 },
      xAxis: { type: 'category', data: withOverhead.map((row) => 'p ' + row.p + ' W ' + row.W) },
      yAxis: { type: 'value' },
      series: types.map((type) => ({ name: type, type: 'bar', stack: 'overhead',
        data: withOverhead.map((row) => (row.overheadByType[type] || 0)) })),
    });
  }

  if (study.isoefficiency.length) {
    const node = P.section('Isoefficiency: W needed at p to hold the efficiency', study.isoefficiency.map((iso) =>
      P.el('p', { class: 'note', text: 'E = ' + iso.efficiency + ': W(p) = ' + (iso.model ? iso.model.text : iso.note) })));
    P.chart(node, 300, {
      tooltip: { trigger: 'item' }, legend: { top: 0 },
      xAxis: { type: 'value', name: 'p', minInterval: 1 }, yAxis: { type: 'log', name: 'W' },
      series: study.isoefficiency.map((iso) => ({ name: 'E = ' + iso.efficiency, type: 'line', data: iso.W })),
    });
  }

  // Predictions checked against a fresh measurement, when the study has them.
  if (study.checks && study.checks.length) {
    const node = P.section('Predictions checked against fresh measurements', []);
    node.appendChild(P.table(['metric', 'p', 'W', 'predicted', '95 % interval', 'measured', 'error', 'interval held'],
      study.checks.map((c) => {
        const held = c.held !== undefined ? c.held : (c.low <= c.measured && c.measured <= c.high);
        return [c.metric || 'Tp', c.p, c.W, fmt(c.predicted), fmt(c.low) + ' to ' + fmt(c.high), fmt(c.measured),
          fmt(c.error), held ? 'yes' : 'no'];
      })));
    node.setAttribute('data-figure', 'checks');
    node.setAttribute('data-value', JSON.stringify(study.checks));
  }

  const node = P.section('Runs (' + (study.aggregation === 'fastest' ? 'the fastest' : 'the median') +
    ' of each configuration, with the spread of its runs)', []);
  // Tp without the master's own probe cost stands beside it where the probe stored it.
  const compensated = study.rows.some((row) => row.TpWithoutProbe !== null);
  const runs = P.table(
    ['W', 'p', 'experiment', 'runs', 'Tp', 'Tp fastest', 'Tp slowest', 'Ts', 'speedup', 'efficiency', 'Karp-Flatt', 'T_o']
      .concat(compensated ? ['probe\'s cost', 'Tp without it'] : []),
    study.rows.map((row) => [row.W, row.p, row.expID, row.runs, P.micros(row.Tp), P.micros(row.TpMin),
      P.micros(row.TpMax), row.Ts === null ? '' : P.micros(row.Ts), fmt(row.speedup), fmt(row.efficiency),
      fmt(row.karpFlatt), row.overhead === null ? '' : P.micros(row.overhead)]
      .concat(compensated ? [row.probeCost === null ? '' : P.micros(row.probeCost),
        row.TpWithoutProbe === null ? '' : P.micros(row.TpWithoutProbe)] : [])));
  runs.id = 'runs';
  node.appendChild(runs);

  document.getElementById('kova-page').appendChild(P.el('div', { hidden: '', 'data-figure': 'charts',
    'data-value': JSON.stringify(drawn) }));
  window.kovaReport = { ready: true };
})();
