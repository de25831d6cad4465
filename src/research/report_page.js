// The research report page: reads the data block of the page and draws the report with
// uPlot. Every text from the report goes in through textContent, never as markup. Once
// every chart has drawn, <html> carries data-rendu="complet" and data-graphiques (the
// number of charts); any error or blocked request is listed in data-erreurs.
(function () {
  'use strict';
  const root = document.documentElement;
  const errors = [];
  const flag = (text) => {
    errors.push(text);
    root.dataset.erreurs = errors.join(' | ');
  };
  window.addEventListener('error', (e) => flag('erreur : ' + e.message));
  window.addEventListener('securitypolicyviolation', (e) => flag('requête bloquée : ' + e.blockedURI));

  const data = JSON.parse(document.getElementById('donnees').textContent);
  const main = document.getElementById('rapport');

  // ---- Text helpers -------------------------------------------------------------------
  const formats = {};
  function num(v, digits = 2) {
    if (v === null || v === undefined || Number.isNaN(v)) return '—';
    if (typeof v !== 'number') return String(v);
    formats[digits] ??= new Intl.NumberFormat('fr-FR', {minimumFractionDigits: digits, maximumFractionDigits: digits});
    return formats[digits].format(v);
  }
  const int = (v) => num(v, 0);
  const pct = (v, digits = 1) => (typeof v === 'number' ? num(100 * v, digits) + ' %' : '—');
  const signed = (v, digits = 3) => (typeof v === 'number' && v > 0 ? '+' : '') + num(v, digits);
  const date = (ts) => (typeof ts === 'number' ? new Date(ts * 1000).toISOString().slice(0, 16).replace('T', ' ') + ' UTC' : '—');
  const yesNo = (b) => (b ? 'oui' : 'non');
  // Small p-values keep their magnitude: 1,93e-5 rather than 0,0000.
  const pvalue = (v) => (typeof v === 'number' && v > 0 && v < 1e-3 ? v.toExponential(2).replace('.', ',') : num(v, 4));

  function el(tag, cls, ...children) {
    const node = document.createElement(tag);
    if (cls) node.className = cls;
    for (const c of children) node.append(c instanceof Node ? c : String(c ?? '—'));
    return node;
  }
  function badge(status) {
    return el('span', 'statut ' + String(status).replace(/ /g, '_'), status);
  }
  function values(pairs) {
    const dl = el('dl', 'valeurs');
    for (const [label, value] of pairs) dl.append(el('dt', '', label), el('dd', '', value));
    return dl;
  }
  // columns: [title, numeric?]; rows: arrays of cells (text or nodes).
  function table(columns, rows, cls = '') {
    const t = el('table', cls);
    const head = el('tr');
    for (const [title, numeric] of columns) head.append(el('th', numeric ? 'nombre' : '', title));
    t.append(el('thead', '', head));
    const body = el('tbody');
    for (const row of rows) {
      const tr = el('tr');
      row.forEach((cell, i) => tr.append(el('td', columns[i][1] ? 'nombre' : '', cell)));
      body.append(tr);
    }
    t.append(body);
    return t;
  }
  function section(title, ...children) {
    const s = el('section', '', el('h2', '', title), ...children);
    (section.into ?? main).append(s);
    return s;
  }

  // ---- Charts ---------------------------------------------------------------------------
  const charts = [];
  let drawn = 0;
  let built = false;
  function settle() {
    if (built && drawn === charts.length) {
      root.dataset.graphiques = String(drawn);
      root.dataset.rendu = 'complet';
    }
  }
  const months = ['janvier', 'février', 'mars', 'avril', 'mai', 'juin', 'juillet', 'août', 'septembre', 'octobre', 'novembre', 'décembre'];
  const days = ['dimanche', 'lundi', 'mardi', 'mercredi', 'jeudi', 'vendredi', 'samedi'];
  const shortMonths = ['janv.', 'févr.', 'mars', 'avr.', 'mai', 'juin', 'juil.', 'août', 'sept.', 'oct.', 'nov.', 'déc.'];
  const names = {MMMM: months, MMM: shortMonths, WWWW: days, WWW: days.map((d) => d.slice(0, 3) + '.')};
  const colours = ['#2f6fb5', '#d9822b', '#2e9e5b', '#a23cb4', '#c23b3b', '#6b7a8f'];
  const width = () => Math.max(480, Math.min(1100, main.clientWidth - 40));

  // Axis labels in French figures, with the decimals the tick spacing needs.
  const axisFigures = (u, splits, axis, space, incr) => {
    const digits = incr >= 1 ? 0 : Math.min(4, Math.ceil(-Math.log10(incr) - 1e-9));
    return splits.map((v) => (v == null ? '' : num(v, digits)));
  };

  function chart(parent, opts, series) {
    const box = el('div', 'graphique');
    parent.append(box);
    let done = false;
    opts.width ??= width();
    opts.height ??= 260;
    const timed = opts.scales?.x?.time !== false;
    opts.axes = (opts.axes ?? [{}, {}]).map((a, i) => (i === 0 && timed) || a.values ? a : {...a, values: axisFigures});
    opts.series.forEach((s, i) => {
      if (i === 0 && timed) s.label ??= 'date';
      s.value ??= i === 0 && timed ? (u, v) => (v == null ? '—' : date(v)) : (u, v) => num(v, s.digits ?? 2);
    });
    opts.hooks ??= {};
    (opts.hooks.draw ??= []).push(() => {
      if (!done) {
        done = true;
        drawn += 1;
        settle();
      }
    });
    opts.fmtDate = (tpl) => uPlot.fmtDate(tpl, names);
    opts.tzDate = (ts) => uPlot.tzDate(new Date(ts * 1e3), 'Etc/UTC');
    charts.push(new uPlot(opts, series, box));
  }

  // ---- Run-level sections -----------------------------------------------------------------
  const repro = data.reproducibility ?? {};
  document.title = 'Rapport de recherche ' + (data.experiment_id ?? '');
  main.append(el('h1', '', 'Rapport de recherche'),
              el('p', 'sous-titre', 'Expérience ', el('code', '', data.experiment_id), ' — ', repro.code_version));
  if (data.hypothesis) main.append(el('blockquote', '', data.hypothesis));

  function identity() {
    const cost = repro.cost_model ?? {};
    const exec = repro.exec ?? {};
    const dates = data.split_dates ?? {};
    const split = data.split ?? {};
    const segment = (key) => {
      const r = split[key] ?? [];
      const d = dates[key] ?? [];
      if (!(r[1] > r[0])) return 'vide';
      return `barres ${int(r[0])} à ${int(r[1] - 1)} : ${date(d[0])} → ${date(d[1])}`;
    };
    const spec = el('pre', 'spec', JSON.stringify(data.spec, null, 2));
    section('Identité et reproductibilité',
      values([
        ['Expérience', el('code', '', data.experiment_id)],
        ['Expérience parente', data.parent_experiment ?? 'aucune'],
        ['Horodatage', date(repro.timestamp)],
        ['Version du moteur', repro.code_version],
        ['Modèle substitut', repro.model_version],
        ['Empreinte de la stratégie', el('code', '', repro.strategy_hash)],
        ['Empreinte des données', el('code', '', repro.dataset_hash)],
        ['Graine', repro.seed],
        ['Profils de compte', (repro.prop_profiles ?? []).join(', ') || 'aucun'],
        ['Modèle de coûts', `${cost.symbol} : tick ${num(cost.tick_size)}, valeur du point ${num(cost.point_value)}, ` +
          `commission ${num(cost.commission_per_side)} par côté, slippage ${num(cost.slippage_ticks, 1)} tick(s), ` +
          `spread ${num(cost.spread_ticks, 1)} tick(s)`],
        ['Exécution', `capital initial ${num(exec.equity0)}, risque par trade ${pct(exec.risk_per_trade, 2)}, ` +
          `délai d'entrée ${exec.delay} barre(s), durée max ${exec.max_bars} barres, ` +
          `slippage ×${num(exec.slip_mult, 1)}, frais ×${num(exec.cost_mult, 1)}`],
        ['Entraînement', segment('train')],
        ['Validation', segment('validation')],
        ['Test (verrouillé)', segment('test')],
        ['Durée de la recherche', num(data.elapsed_seconds, 1) + ' s sur ' + (data.throughput?.workers ?? '—') + ' cœur(s)'],
      ]),
      el('details', '', el('summary', '', 'Spécification complète'), spec));
  }

  function audit() {
    const info = data.data?.info ?? {};
    const q = data.data?.quality ?? {};
    const issues = q.issues?.length ? el('ul', '', ...q.issues.map((i) => el('li', '', i))) : el('p', 'note', 'aucune anomalie détectée');
    section('Audit des données',
      values([
        ['Jeu de données', el('code', '', info.dataset_id)],
        ['Fichier', data.data?.synthetic ? 'barres synthétiques' : info.path],
        ['Barres', int(info.rows)],
        ['Période', `${date(info.start)} → ${date(info.end)}`],
        ['Unité de temps', int(info.timeframe_secs) + ' s (' + info.timezone + ')'],
        ['SHA-256', el('code', '', info.sha256)],
        ['Verdict', badge(q.verdict)],
      ]),
      table([['Contrôle'], ['Valeur', true]], [
        ['Doublons', int(q.duplicates)], ['Barres hors ordre', int(q.out_of_order)],
        ['Barres OHLC incohérentes', int(q.invalid_ohlc)], ['Prix nuls ou négatifs', int(q.non_positive)],
        ['Trous inattendus', int(q.unexpected_gaps)], ['Plus grand trou (heures)', num(q.largest_gap_hours, 1)],
        ['Volumes aberrants', int(q.volume_outliers)], ['Part de volume nul', pct(q.zero_volume_share)],
      ]),
      issues);
  }

  function funnel() {
    const f = data.funnel ?? {};
    const stages = data.rejections ?? [];
    const s = section('Entonnoir des candidats',
      values([
        ['Espace des variantes', int(f.space)], ['Mode', f.mode === 'exhaustive' ? 'exhaustif' : 'criblage par substitut'],
        ['Générées', int(f.generated)], ['Gardées par le substitut', int(f.surrogate_kept)],
        ['Backtestées', int(f.backtested) + ' (couverture ' + pct(f.coverage) + ')'], ['Promues', int(f.promoted)],
        ['Validées', int(f.validated)], ['Walk-forward réussi', int(f.walk_forward_passed)],
        ['Robustes', int(f.robust)], ['Finalistes', int(f.survivors)],
      ]),
      el('h4', '', 'Rejets par étape'));
    const labels = stages.map((r, i) => `${i + 1}. ${r.stage}`);
    chart(s, {
      height: 240,
      scales: {x: {time: false, range: [-0.5, stages.length - 0.5]}, y: {range: (u, lo, hi) => [0, Math.max(1, hi) * 1.1]}},
      axes: [{splits: () => stages.map((_, i) => i), values: (u, splits) => splits.map((i) => labels[i] ?? '')}, {label: 'candidats rejetés'}],
      series: [{label: 'étape', value: (u, v) => labels[v] ?? '—'},
               {label: 'rejetés', digits: 0, fill: '#2f6fb5aa', stroke: '#2f6fb5',
                paths: uPlot.paths.bars({size: [0.6, 90]}), points: {show: false}}],
      legend: {show: false},
    }, [stages.map((_, i) => i), stages.map((r) => r.count)]);
    s.append(table([['Étape'], ['Rejetés', true], ['Raison']], stages.map((r, i) => [labels[i], int(r.count), r.reason_fr])));
  }

  function frontier() {
    const families = data.families ?? [];
    const points = (data.frontier ?? []).filter((p) => p[0] > 0 && typeof p[1] === 'number').sort((a, b) => a[0] - b[0]);
    const present = [...new Set(points.map((p) => p[2]))].sort((a, b) => a - b);
    const series = [{label: 'trades', value: (u, v) => int(v)}];
    const columns = [points.map((p) => p[0])];
    for (const fam of present) {
      series.push({label: families[fam]?.label_fr ?? String(fam), stroke: colours[fam % colours.length], paths: () => null, digits: 3,
                   points: {show: true, size: 5, fill: colours[fam % colours.length]}});
      columns.push(points.map((p) => (p[2] === fam ? p[1] : null)));
    }
    const s = section('Frontière de l’étape de backtest',
      el('p', 'note', `${int(points.length)} variantes avec des trades, prises à intervalle régulier parmi les backtests d’entraînement : nombre de trades (échelle logarithmique) et espérance en R par trade.`));
    chart(s, {
      height: 320,
      scales: {x: {time: false, distr: 3}},
      axes: [{label: 'trades (entraînement)', values: (u, splits) => splits.map((v) => (Number.isInteger(Math.log10(v)) ? int(v) : ''))},
             {label: 'espérance (R)'}],
      series,
      cursor: {points: {show: false}},
    }, columns);
  }

  const methodsFr = {random: 'aléatoire', grid: 'grille', rf_guided: 'guidée par la forêt', graph_best_first: 'meilleur d’abord (graphe)'};
  function methods() {
    const list = data.method_comparison;
    if (!Array.isArray(list) || list.length === 0) return;
    const s = section('Comparaison des méthodes de recherche',
      el('p', 'note', 'Meilleur score trouvé en fonction du nombre d’évaluations (première répétition de chaque méthode, même budget).'));
    const joined = uPlot.join(list.map((m) => [m.curve.map((p) => p[0]), m.curve.map((p) => p[1])]));
    chart(s, {
      height: 300,
      scales: {x: {time: false}},
      axes: [{label: 'évaluations'}, {label: 'meilleur score'}],
      series: [{label: 'évaluations', value: (u, v) => int(v)},
               ...list.map((m, i) => ({label: methodsFr[m.method] ?? m.method, stroke: colours[i % colours.length], width: 2,
                                      digits: 3, spanGaps: true, paths: uPlot.paths.stepped({align: 1})}))],
    }, joined);
    s.append(table([['Méthode'], ['Répétitions', true], ['Budget', true], ['Meilleur score moyen', true], ['Part à 95 %', true],
                    ['Évaluations jusqu’à 95 %', true], ['Durée moyenne (s)', true]],
      list.map((m) => [methodsFr[m.method] ?? m.method, int(m.seeds?.length ?? m.seeds), int(m.budget), num(m.mean_best_score, 3), pct(m.reached_95pct_share, 0),
                       num(m.mean_evals_to_95pct, 0), num(m.mean_seconds, 3)])));
  }

  function evidence() {
    const e = data.evidence ?? {};
    section('Preuves contre le surajustement',
      values([
        ['Probabilité de surajustement (PBO)', pct(e.pbo) + ` (${int(e.pbo_candidates)} candidats promus, ${int(e.pbo_blocks)} blocs)`],
        ['Variantes essayées', int(e.trials)],
        ['Sharpe par trade des variantes', `moyenne ${num(e.sharpe_mean, 3)}, variance ${num(e.sharpe_variance, 4)}`],
        ['Finalistes retenus', `${int(e.retained)} sur ${int(data.survivors?.length ?? 0)}`],
      ]),
      el('p', 'note', 'PBO proche de 0 : le meilleur en échantillon le reste hors échantillon ; vers 0,5 ou plus, choisir le meilleur ne vaut pas mieux que le hasard.'));
  }

  // ---- Finalists --------------------------------------------------------------------------
  const metricRows = [
    ['Trades', 'trades', int], ['Résultat net (R)', 'net_r', (v) => signed(v, 2)], ['Espérance (R)', 'expectancy_r', signed],
    ['Taux de réussite', 'win_rate', pct], ['Facteur de profit', 'profit_factor', num], ['Gain moyen (R)', 'avg_win_r', num],
    ['Perte moyenne (R)', 'avg_loss_r', num], ['Gain / perte réalisé', 'realized_rr', num], ['Baisse max (R)', 'max_drawdown_r', num],
    ['Baisse max (%)', 'max_drawdown_pct', num], ['SQN', 'sqn', num], ['Résultat net (monnaie)', 'net_pnl', num], ['Frais totaux', 'total_costs', num],
  ];
  const segmentsFr = {train: 'entraînement', validation: 'validation', test: 'test'};
  const shades = {train: '#2f6fb522', validation: '#d9822b2e', test: '#2e9e5b2e'};
  const reasonsFr = {target: 'objectif', stop: 'stop', time: 'durée max', end_of_data: 'fin des données'};

  // Shades the train, validation and test periods behind a time chart.
  function segmentShading(u) {
    const dates = data.split_dates ?? {};
    const starts = ['train', 'validation', 'test'].filter((k) => typeof dates[k]?.[0] === 'number');
    const ctx = u.ctx;
    ctx.save();
    starts.forEach((k, i) => {
      const end = i + 1 < starts.length ? dates[starts[i + 1]][0] : dates[k][1];
      const x0 = u.valToPos(dates[k][0], 'x', true);
      const x1 = u.valToPos(end, 'x', true);
      ctx.fillStyle = shades[k];
      ctx.fillRect(x0, u.bbox.top, Math.max(1, x1 - x0), u.bbox.height);
    });
    ctx.restore();
  }
  function shadingLegend() {
    return el('p', 'legende-segments', ...Object.keys(shades).map((k) => {
      const swatch = el('i');
      swatch.style.background = shades[k];
      return el('span', '', swatch, segmentsFr[k]);
    }));
  }

  function curves(parent, f) {
    const equity = f.equity ?? [];
    const xs = f.equity_ts ?? equity.map((_, i) => i);
    const timed = Array.isArray(f.equity_ts);
    let peak = -Infinity;
    const drawdown = equity.map((v) => {
      peak = Math.max(peak, v);
      return peak > 0 ? 100 * (v / peak - 1) : null;
    });
    const dates = data.split_dates ?? {};
    const range = timed ? [Math.min(dates.train?.[0] ?? xs[0], xs[0]), Math.max(dates.test?.[1] ?? xs.at(-1), xs.at(-1))] : undefined;
    // Fresh options per chart: uPlot keeps what it is given.
    const timeAxis = () => ({scales: {x: {time: timed, ...(range ? {range: [...range]} : {})}}, hooks: {drawClear: timed ? [segmentShading] : []}});
    parent.append(el('h4', '', 'Courbe de capital (toutes les barres)'), shadingLegend());
    chart(parent, {...timeAxis(), height: 260, axes: [{}, {label: 'capital', size: 70}],
                   series: [{}, {label: 'capital', stroke: '#1d2330', width: 1.5}]}, [xs, equity]);
    parent.append(el('h4', '', 'Baisse depuis le plus haut'),
      el('p', 'note', `Calculée sur les ${equity.length} points tracés ; la baisse maximale sur la courbe complète est de ${num(f.all?.max_drawdown_pct)} %.`));
    chart(parent, {...timeAxis(), height: 180, axes: [{}, {label: 'baisse (%)', size: 70}],
                   series: [{}, {label: 'baisse', stroke: '#b42318', fill: '#b4231833', width: 1}]}, [xs, drawdown]);
  }

  // A trade table sorted by a click on a column header (again: the other way).
  function tradeTable(trades) {
    const count = (trades.entry_ts ?? []).length;
    const columns = [
      ['#', true, (i) => i + 1], ['Entrée', false, (i) => trades.entry_ts[i], date], ['Sortie', false, (i) => trades.exit_ts[i], date],
      ['Sens', false, (i) => trades.side[i], (v) => (v > 0 ? 'achat' : 'vente')], ['Prix d’entrée', true, (i) => trades.entry[i], num],
      ['Prix de sortie', true, (i) => trades.exit[i], num], ['Stop', true, (i) => trades.stop[i], num], ['Objectif', true, (i) => trades.target[i], num],
      ['Contrats', true, (i) => trades.contracts[i]], ['R', true, (i) => trades.r[i], (v) => signed(v, 3)], ['Résultat', true, (i) => trades.pnl[i], num],
      ['Frais', true, (i) => trades.costs[i], num], ['Sortie par', false, (i) => trades.reason[i], (v) => reasonsFr[v] ?? v],
      ['Segment', false, (i) => trades.segment[i], (v) => segmentsFr[v] ?? v],
    ];
    const t = el('table', 'triable');
    const head = el('tr');
    const body = el('tbody');
    const rows = [];
    for (let i = 0; i < count; i++) {
      const tr = el('tr');
      const keys = columns.map(([, , get]) => get(i));
      columns.forEach(([, numeric, , show], c) => tr.append(el('td', numeric ? 'nombre' : '', show ? show(keys[c]) : keys[c])));
      rows.push({tr, keys});
      body.append(tr);
    }
    columns.forEach(([title, numeric], c) => {
      const th = el('th', numeric ? 'nombre' : '', title);
      th.addEventListener('click', () => {
        const dir = th.dataset.sens === 'asc' ? -1 : 1;
        for (const other of head.children) delete other.dataset.sens;
        th.dataset.sens = dir > 0 ? 'asc' : 'desc';
        rows.sort((a, b) => {
          const x = a.keys[c], y = b.keys[c];
          const order = typeof x === 'number' && typeof y === 'number' ? x - y : String(x).localeCompare(String(y), 'fr');
          return dir * order || a.keys[0] - b.keys[0];
        });
        body.append(...rows.map((r) => r.tr));
      });
      head.append(th);
    });
    t.append(el('thead', '', head), body);
    return el('div', 'defilement', t);
  }

  function finalist(f, rank) {
    const c = f.candidate ?? {};
    const ev = f.evidence ?? {};
    const wf = f.walk_forward ?? {};
    const box = el('details', 'finaliste');
    box.id = 'finaliste-' + rank;
    if (rank === 1) box.open = true;
    box.append(el('summary', '', `${rank}. `, el('code', '', c.id), ` — ${c.family_fr} `, badge(ev.verdict ?? '—')));
    box.append(el('h4', '', 'Paramètres'), values(Object.entries(c.params ?? {}).map(([k, v]) => [k, num(v, Number.isInteger(v) ? 0 : 2)])));
    box.append(el('h4', '', 'Portes'), table([['Porte'], ['Statut'], ['Explication']],
      (f.gates ?? []).map((g) => [g.label_fr, badge(g.status), g.why_fr])));
    box.append(el('h4', '', 'Preuves'), values([
      ['Verdict', el('span', '', badge(ev.verdict), ' ', ev.why_fr ?? '')],
      ['Sharpe dégonflé (DSR)', num(ev.dsr, 3)], ['Sharpe probabiliste (entraînement)', num(ev.psr_train, 3)],
      ['p-value du test', pvalue(ev.test_p_value)], ['p-value corrigée (Holm)', pvalue(ev.test_p_holm)],
      ['PBO de la recherche', pct(data.evidence?.pbo)],
    ]));
    box.append(el('h4', '', 'Résultats par période'), table([['Mesure'], ['Entraînement', true], ['Validation', true], ['Test', true], ['Toutes les barres', true]],
      metricRows.map(([label, key, show]) => [label, ...['train', 'validation', 'test', 'all'].map((s) => show(f[s]?.[key]))])));
    curves(box, f);
    box.append(el('h4', '', 'Walk-forward'), values([
      ['Fenêtres rentables', `${int(wf.positive_windows)} sur ${int(wf.windows?.length)}`], ['Stabilité', pct(wf.stability, 0)],
      ['Hors échantillon', `${int(wf.oos_trades)} trades, ${signed(wf.oos_net_r, 2)} R, espérance ${signed(wf.oos_expectancy_r)} R`],
      ['Dispersion (R)', num(wf.dispersion_r, 3)],
    ]), table([['Fenêtre'], ['Apprentissage'], ['Test'], ['Choisi'], ['Trades', true], ['Net (R)', true], ['Espérance (R)', true], ['PF', true], ['Baisse max (R)', true]],
      (wf.windows ?? []).map((w, i) => [i + 1, `${date(w.train_start)} → ${date(w.train_end)}`, `${date(w.test_start)} → ${date(w.test_end)}`,
        el('code', '', w.chosen), int(w.trades), signed(w.net_r, 2), signed(w.expectancy_r), num(w.profit_factor), num(w.max_dd_r)])));
    box.append(el('h4', '', 'Stabilité des paramètres'), table([['Paramètre'], ['Voisins rentables', true], ['Pic étroit'], ['Espérance par valeur (R)']],
      (f.sensitivity ?? []).map((s) => [s.param, pct(s.stability, 0), yesNo(s.sharp_peak),
        (s.points ?? []).map((p) => `${num(p.value, Number.isInteger(p.value) ? 0 : 2)}${p.is_center ? ' (choisi)' : ''} : ${signed(p.expectancy_r)}`).join(' ; ')])));
    box.append(el('h4', '', 'Robustesse (exécution dégradée)'), table([['Scénario'], ['Trades', true], ['Espérance (R)', true], ['PF', true]],
      (f.perturbations ?? []).map((p) => [p.label_fr, int(p.trades), signed(p.expectancy_r), num(p.profit_factor)])));
    const regimeRows = (rows) => (rows ?? []).map((r) => [r.label, int(r.trades), signed(r.net_r, 2), signed(r.expectancy_r), pct(r.win_rate)]);
    const regimeColumns = [['Régime'], ['Trades', true], ['Net (R)', true], ['Espérance (R)', true], ['Réussite', true]];
    box.append(el('h4', '', 'Régimes de marché'), table(regimeColumns, regimeRows(f.regimes)),
      el('p', 'note', `Part du profit venant des 5 meilleurs trades : ${pct(f.concentration?.top5_share_of_profit)}${f.concentration?.concentrated ? ' (concentré)' : ''}.`));
    const quarters = el('details', '', el('summary', '', 'Par trimestre'), table([['Trimestre'], ...regimeColumns.slice(1)], regimeRows(f.temporal)));
    box.append(quarters);
    if ((f.prop ?? []).length > 0) {
      box.append(el('h4', '', 'Règles de compte'), table([['Profil'], ['Verdict'], ['Résumé']], f.prop.map((p) => [p.profile_id, badge(p.verdict), p.summary_fr])));
    }
    box.append(el('h4', '', `Trades (${int((f.trades?.entry_ts ?? []).length)}, toutes les barres)`),
      el('p', 'note', 'Cliquez sur un en-tête pour trier ; prix et montants arrondis à 2 décimales, R à 3.'), tradeTable(f.trades ?? {}));
    return box;
  }

  function finalists() {
    const list = data.survivors ?? [];
    const s = section(`Finalistes (${list.length})`);
    if (list.length === 0) {
      s.append(el('p', '', 'Aucun candidat n’a passé l’entonnoir.'));
      return;
    }
    s.append(table([['#'], ['Candidat'], ['Famille'], ['Portes'], ['Test : trades', true], ['Test : espérance (R)', true], ['Verdict']],
      list.map((f, i) => {
        const link = el('a', '', f.candidate?.id);
        link.href = '#finaliste-' + (i + 1);
        const dots = el('span', 'pastilles', ...(f.gates ?? []).map((g) => {
          const d = el('span', g.status);
          d.title = `${g.label_fr} : ${g.status}`;
          return d;
        }));
        return [i + 1, link, f.candidate?.family_fr, dots, int(f.test?.trades), signed(f.test?.expectancy_r), badge(f.evidence?.verdict)];
      })));
    list.forEach((f, i) => s.append(finalist(f, i + 1)));
  }

  // The run's identity and its data side by side, then the rest in one column.
  section.into = el('div', 'deux-colonnes');
  main.append(section.into);
  identity();
  audit();
  section.into = null;
  funnel();
  frontier();
  methods();
  evidence();
  finalists();
  built = true;
  settle();
})();
