// The scaling page: for each metric a chart over p with the measured points and the
// fitted model of every W, the overhead by phase type, the isoefficiency, the runs
// and what the series lacks.
(function () {
  'use strict';
  const P = KovaPage;
  const study = P.data();
  const Ws = [...new Set(study.rows.map((row) => row.W))].sort((a, b) => a - b);
  const titles = {
    Tp: 'Parallel time Tp (µs)', speedup: 'Speedup Ts / Tp', efficiency: 'Efficiency S / p',
    karpFlatt: 'Karp-Flatt serial fraction', overhead: 'Total overhead T_o = p·Tp − Ts (µs)',
  };
  const fmt = (v, digits) => (v === null || v === undefined ? '' : Number(v).toPrecision(digits || 4));

  document.title = 'Scaling of ' + study.application;
  document.getElementById('kova-page').appendChild(P.el('h1', { text: 'Scaling of ' + study.application }));
  if (study.notes.length)
    P.section('Notes', study.notes.map((n) => P.el('p', { class: 'note warning', text: n })));

  // One chart per metric: measured points and model curve for every W.
  Object.keys(titles).forEach((metric) => {
    const models = study.models.filter((m) => m.metric === metric);
    if (!models.length) return;
    const series = [];
    const lines = [];
    models.forEach((m) => {
      series.push({ name: 'W ' + m.W, type: 'scatter', data: m.points, symbolSize: 8 });
      if (m.curve) series.push({ name: 'W ' + m.W + ' model', type: 'line', data: m.curve, showSymbol: false });
      lines.push(P.el('p', { class: 'note', text: 'W ' + m.W + ': ' + metric + '(p) = ' +
        (m.model ? m.model.text + '  (R² ' + fmt(m.model.error.rSquared) + ')' : m.note) }));
    });
    const node = P.section(titles[metric], lines);
    P.chart(node, 300, {
      tooltip: { trigger: 'item' }, legend: { top: 0 },
      xAxis: { type: 'value', name: 'p', minInterval: 1 }, yAxis: { type: 'value', scale: true },
      series: series,
    });
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

  const node = P.section('Runs (the fastest of each configuration)', []);
  node.appendChild(P.table(
    ['W', 'p', 'experiment', 'runs', 'Tp', 'Ts', 'speedup', 'efficiency', 'Karp-Flatt', 'T_o'],
    study.rows.map((row) => [row.W, row.p, row.expID, row.runs, P.micros(row.Tp),
      row.Ts === null ? '' : P.micros(row.Ts), fmt(row.speedup), fmt(row.efficiency), fmt(row.karpFlatt),
      row.overhead === null ? '' : P.micros(row.overhead)])));
})();
