// Helpers of kova's pages: the inlined payload, building elements, number formats,
// tables and charts (Apache ECharts).
var KovaPage = (function () {
  'use strict';

  // The JSON payload that kova wrote into the page.
  function data() {
    return JSON.parse(document.getElementById('kova-data').textContent);
  }

  // An element with attributes (text: its text; on*: listeners) and children.
  function el(tag, attrs, children) {
    const node = document.createElement(tag);
    Object.entries(attrs || {}).forEach(([key, value]) => {
      if (key === 'text') node.textContent = value;
      else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else node.setAttribute(key, value);
    });
    (children || []).forEach((child) => node.appendChild(child));
    return node;
  }

  // A duration or time in µs, in the unit that suits it.
  function micros(us) {
    const a = Math.abs(us);
    if (a >= 1e6) return (us / 1e6).toFixed(a >= 1e7 ? 2 : 3) + ' s';
    if (a >= 1e3) return (us / 1e3).toFixed(a >= 1e4 ? 1 : 2) + ' ms';
    return Math.round(us) + ' µs';
  }

  // A table of rows (arrays of cell texts); rowClick(i) makes rows links.
  function table(headers, rows, rowClick) {
    const head = el('tr', {}, headers.map((h) => el('th', { text: h })));
    const body = rows.map((row, i) =>
      el('tr', rowClick ? { class: 'link', onclick: () => rowClick(i) } : {},
        row.map((cell) => el('td', { text: String(cell) }))));
    return el('table', {}, [el('thead', {}, [head]), el('tbody', {}, body)]);
  }

  // A labelled figure; data-figure and data-value carry the key and raw value.
  function figure(key, label, value, text) {
    return el('div', { class: 'figure', 'data-figure': key, 'data-value': String(value) }, [
      el('span', { class: 'label', text: label }),
      el('span', { class: 'value', text: text === undefined ? String(value) : text }),
    ]);
  }

  // A section with a heading, appended to the page.
  function section(title, children) {
    const node = el('section', {}, [el('h2', { text: title })].concat(children || []));
    document.getElementById('kova-page').appendChild(node);
    return node;
  }

  // A chart in a new element of that height inside parent.
  function chart(parent, height, option) {
    const box = el('div', { class: 'chart', style: 'height:' + height + 'px' });
    parent.appendChild(box);
    const instance = echarts.init(box, null, { renderer: 'canvas' });
    instance.setOption(Object.assign({ animation: false }, option));
    window.addEventListener('resize', () => instance.resize());
    return instance;
  }

  return { data, el, micros, table, figure, section, chart };
})();
