// The checks of a kova study, added to its scaling page: each configuration measured
// after the fit beside the Tp predicted there, whether its interval held, and the
// configurations of the study that lack runs. Each check row carries
// data-figure="check p=P W=W" with "held" or "missed" as its value.
(function () {
  'use strict';
  const P = KovaPage;
  const study = P.data();
  const known = (v) => v !== null && v !== undefined;
  if (study.checks && study.checks.length) {
    const node = P.section('Checks: Tp measured after the fit beside its prediction', [P.el('p', { class: 'note',
      text: 'Each check is a configuration outside the study, measured after the models were fitted; it holds when ' +
        'the measured Tp lies inside the 95 % prediction interval.' })]);
    const table = P.table(['p', 'W', 'runs', 'predicted', '95 % interval', 'measured', 'error', 'interval'],
      study.checks.map((c) => [c.p, c.W, c.runs, known(c.predicted) ? P.micros(c.predicted) : 'no model',
        known(c.low) ? P.micros(c.low) + ' to ' + P.micros(c.high) : '',
        known(c.measured) ? P.micros(c.measured) : 'not measured',
        known(c.error) ? (c.error >= 0 ? '+' : '') + c.error.toFixed(1) + ' %' : '',
        c.held ? 'held' : 'missed']));
    table.querySelectorAll('tbody tr').forEach((row, k) => {
      const c = study.checks[k];
      row.setAttribute('data-figure', 'check p=' + c.p + ' W=' + c.W);
      row.setAttribute('data-value', c.held ? 'held' : 'missed');
    });
    node.appendChild(table);
  }
  if (study.missing && study.missing.length)
    P.section('Configurations that lack runs', study.missing.map((m) => P.el('p', { class: 'note warning',
      text: 'p = ' + m.p + ', W = ' + m.W + ': ' + m.runs + ' of ' + m.repeat + ' runs' })));
})();
