// Opens a kova HTML page in Debian's headless Chromium (driven by playwright-core,
// no browser download) with every request off this machine refused, waits until the
// report has drawn its timeline, keeps a screenshot, and prints what it saw as JSON:
// console and page errors, outside requests, lanes and their labels, message lines,
// band lanes, the header figures (data-figure -> data-value, and as shown), the notes
// and tables that have an id (rows of cell texts), the rows that a click on the first
// wait group opens, and the time to the first draw in ms; with FROM,TO it then zooms
// the timeline to that window (percent of the run) and adds what it drew there as
// "zoomed".
//   node browser_check.js PAGE.html SCREENSHOT.png [TIMEOUT_MS [FROM,TO]]
'use strict';
const path = require('path');
const { chromium } = require(path.join(__dirname, '..', 'web', 'node_modules', 'playwright-core'));

async function main() {
  const [page, screenshot, timeout = '60000', zoom] = process.argv.slice(2);
  if (!page || !screenshot) {
    console.error('usage: node browser_check.js PAGE.html SCREENSHOT.png [TIMEOUT_MS [FROM,TO]]');
    process.exit(2);
  }
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const seen = { consoleErrors: [], pageErrors: [], outsideRequests: [] };
  try {
    const context = await browser.newContext({ viewport: { width: 1600, height: 900 } });
    await context.route('**/*', (route) => {
      const url = route.request().url();
      if (url.startsWith('file:') || url.startsWith('data:')) return route.continue();
      seen.outsideRequests.push(url);
      return route.abort();
    });
    const tab = await context.newPage();
    tab.on('console', (message) => { if (message.type() === 'error') seen.consoleErrors.push(message.text()); });
    tab.on('pageerror', (error) => seen.pageErrors.push(String(error)));
    await tab.goto('file://' + path.resolve(page), { waitUntil: 'load', timeout: Number(timeout) });
    await tab.waitForFunction(() => window.kovaReport && window.kovaReport.ready, null,
      { timeout: Number(timeout) });
    Object.assign(seen, await tab.evaluate(() => {
      const figures = {}, shownFigures = {}, notes = {}, tables = {};
      document.querySelectorAll('[data-figure]').forEach((node) => {
        figures[node.getAttribute('data-figure')] = node.getAttribute('data-value');
        const value = node.querySelector('.value');
        shownFigures[node.getAttribute('data-figure')] = (value || node).textContent;
      });
      document.querySelectorAll('p.note[id]').forEach((node) => { notes[node.id] = node.textContent; });
      const rowsOf = (table) => Array.from(table.querySelectorAll(':scope > tbody > tr'),
        (tr) => Array.from(tr.children, (td) => td.textContent));
      document.querySelectorAll('table[id]').forEach((table) => { tables[table.id] = rowsOf(table); });
      let waitDetails = null;
      const firstGroup = document.querySelector('#wait-groups > tbody > tr');
      if (firstGroup) {
        firstGroup.click();
        waitDetails = rowsOf(document.getElementById('wait-details'));
      }
      const r = window.kovaReport;
      return { title: document.title, lanes: r.lanes, laneLabels: r.laneLabels, messageLines: r.messageLines,
        bandLanes: r.bandLanes, drawMs: r.drawMs, stepsMs: r.stepsMs, figures, shownFigures, notes, tables,
        waitDetails };
    }));
    await tab.screenshot({ path: screenshot, fullPage: true });
    if (zoom) seen.zoomed = await tab.evaluate(([from, to]) => window.kovaReport.zoom(from, to), zoom.split(',').map(Number));
  } catch (error) {
    seen.failure = String(error);
  } finally {
    await browser.close();
  }
  console.log(JSON.stringify(seen));
}

main().catch((error) => { console.error(error); process.exit(1); });
