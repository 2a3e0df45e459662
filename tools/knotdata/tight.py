#!/usr/bin/env python3
"""Tighten the stored knot shapes towards ideal ones, record by record.

Each record of a database is read from the data directory, its curve
sampled from the stored numbers, tightened (tighten.py: shortening under
the tube constraints), fitted again by the FFT with the fewest harmonics
that are nearly as tight as the tightest fit, rescaled so that the stored
curve has tube diameter 1, written out, read back and verified (verify.py:
type, volume, chirality; and for ideal.txt the curve of harmonics 1 to 19
alone).  A record is replaced only when it passes and is tighter than the
stored one.

Every finished record is kept as a state file in the work directory
(default tools/knotdata/work/, not part of the repository), so a stopped
run resumes where it stopped: a record with a state file is not redone.
After each record the data files and the verification log are rewritten
from the state files.

Usage:
  python tight.py DATA_DIR PART [--jobs N] [--only NAME,...] [--worst-first]
                  [--iters N] [--work DIR] [--seeds S,...] [--fresh [--rotate K]]
                  [--from-stored] [--poles P,...]
  python tight.py DATA_DIR PART --remeasure | --assemble | --report
PART is ideal (ideal.txt and ideal_database.txt), k11a or k11n (ideal_11a.txt,
ideal_11n.txt) or fseries (the knot.*.fseries files; those whose first row
is zero stay closed braids about the z axis, parametrised by the angle about
it, with harmonic 1 zero).  The knot table's ropelength is length over tube radius, so
the ratio printed is 2 L / D over the table's value."""
import argparse
import json
import multiprocessing as mp
import os
import re
import sys
import time

import numpy as np

import geom
import knotdata
import readers
import tables
import tighten
import verify

STAGES = (0.5, 0.35, 0.2)   # vertex spacings, in tube diameters
HARMONICS = (19, 24, 30, 40, 50, 60, 80)
PARTS = {'ideal': ('AB', ['ideal.txt', 'ideal_database.txt'], 'verification.ideal.log'),
         'k11a': ('HT', ['ideal_11a.txt'], 'verification.k11.log'),
         'k11n': ('HT', ['ideal_11n.txt'], 'verification.k11.log')}


def table_ropelength():
    import database_knotinfo
    out = {}
    for row in database_knotinfo.link_list()[1:]:
        try:
            out[row['name']] = float(row['ropelength'])
        except (TypeError, ValueError, KeyError):
            pass
    return out


def knot_of_id(rid):
    """Table name of a record id: 3:1:1 -> 3_1, K11a1 -> 11a_1."""
    m = re.fullmatch(r'(\d+):(\d+):1', rid)
    if m:
        return '%s_%s' % m.groups()
    m = re.fullmatch(r'K(\d+)([an])(\d+)', rid)
    if m:
        return '%s%s_%s' % m.groups()
    raise ValueError(rid)


def records(text, tag):
    """(id, full record text, header, coefficient table) in file order."""
    out = []
    for m in re.finditer(r'<%s [^>]*>[\s\S]*?</%s>\n' % (tag, tag), text):
        rec = m.group(0)
        (hdr, comps), = readers.ideal_records(rec, tag)
        rid = re.search(r'Id="([^"]+)"', hdr).group(1)
        out.append((rid, rec, hdr, comps[0]))
    return out


def curve(table, n, kmax=None):
    s = np.arange(n) * 2 * np.pi / n
    return readers.eval_coeffs(table, s, kmax)


def measure(table, kmax=None, n=1200):
    """(length, tube diameter) of the curve of the stored numbers."""
    P = curve(table, n, kmax)
    return geom.length(P), geom.series_thickness(P, *readers.table_series(table, kmax))


# six decimals of the coefficients fix the scale to about 1e-6: a record whose
# measured diameter is this close to 1 is stated as diameter 1 and not rescaled
D_TOL = 5e-6


def record_text(tag, rid, conway, rows):
    """Record text with L and D measured on the numbers as written; the rows
    are rescaled first so that the stored curve has tube diameter 1."""
    rows = np.asarray(rows, float)
    for _ in range(4):
        body = '\n'.join(knotdata.coeff_lines(rows))
        probe = '<%s Id="%s" Conway="%s" L="0" D="1.000000">\n%s\n</%s>\n' % (tag, rid, conway, body, tag)
        (hdr, comps), = readers.ideal_records(probe, tag)
        L, D = measure(comps[0])
        if abs(D - 1) < D_TOL:
            break
        rows = rows / D
    stated = 1.0 if abs(D - 1) < D_TOL else D
    text = '<%s Id="%s" Conway="%s" L="%.6f" D="%.6f">\n%s\n</%s>\n' % (
        tag, rid, conway, L, stated, body, tag)
    return text, L / D, D


def table_rows(table):
    """Rows a_x b_x a_y b_y a_z b_z of harmonics 1.. of a coefficient table."""
    H = max(table)
    rows = np.zeros((H, 6))
    for k, (a, b) in table.items():
        if k > 0:
            rows[k - 1, 0::2] = a
            rows[k - 1, 1::2] = b
    return rows


def restate_log(lines, ropes, fnames=None):
    """Lines of a verification log with the ropelength of each item's
    deciding (last passing) line set to its restated value."""
    last = {}
    for k, line in enumerate(lines):
        f = line.split('\t')
        if len(f) > 2 and (fnames is None or f[0] in fnames) and f[1] in ropes and f[-1] == 'PASS':
            last[f[1]] = k
    lines = list(lines)
    for rid, k in last.items():
        lines[k] = re.sub(r'ropelength=[0-9.]+', 'ropelength=%.4f' % ropes[rid], lines[k])
    return lines


def remeasure_fseries(data, work):
    """Restate the ropelength and tube diameter of every Fourier file's
    comment, measured on the numbers as written (the unit circle is exact)."""
    ropes, changed = {}, 0
    lp = os.path.join(data, 'verification.fseries.log')
    lines = open(lp).read().splitlines()
    tightened = {}
    for line in lines:
        f = line.split('\t')
        if len(f) > 2 and f[-1] == 'PASS':
            tightened[f[1]] = 'tightened' in f
    for kid in knotdata.FSERIES_IDS:
        if kid == '1_1':
            continue
        p = os.path.join(data, 'knot.%s.fseries' % kid)
        text = open(p).read()
        old_text = text
        L, D, _ = fseries_measure(readers.fseries_blocks(text)[0])
        ropes[kid] = L / D
        if tightened.get(kid):
            text = variant_line(text, knotdata.split_id(kid)[1])
        new = re.sub(r'ropelength [0-9.]+ \(length over tube diameter\); tube diameter [0-9.]+',
                     'ropelength %.6f (length over tube diameter); tube diameter %.6f' % (L / D, D),
                     text, count=1)
        restate_state(work, 'fseries', kid, new)
        if new != old_text:
            open(p, 'w').write(new)
            changed += 1
    open(lp, 'w').write('\n'.join(restate_log(lines, ropes)) + '\n')
    return changed


def restate_state(work, part, rid, text):
    """Keep a finished record's state file in step with the restated text,
    so that a later run's rewrite from the state files keeps it."""
    p = state_path(work, part, rid)
    if not os.path.exists(p):
        return
    st = json.load(open(p))
    if st.get('text') and st['text'] != text:
        st['text'] = text
        with open(p + '.tmp', 'w') as f:
            json.dump(st, f)
        os.replace(p + '.tmp', p)


def remeasure(data, part, work):
    """Rescale every record of PART to tube diameter 1 and restate its L,
    measured on the numbers as written; the ropelength of its deciding
    (last passing) log line follows."""
    tag, fnames, logname = PARTS[part]
    text = open(os.path.join(data, fnames[0])).read()
    ropes, changed = {}, 0
    for rid, rec, hdr, table in records(text, tag):
        if 0 in table and np.any(table[0][0]):
            raise SystemExit('%s: a record with an offset row is not rewritten' % rid)
        conway = re.search(r'Conway="([^"]*)"', hdr).group(1)
        new, rope, _ = record_text(tag, rid, conway, table_rows(table))
        ropes[rid] = rope
        restate_state(work, part, rid, new)
        if new != rec:
            text = text.replace(rec, new)
            changed += 1
    for f in fnames:
        open(os.path.join(data, f), 'w').write(text)
    lp = os.path.join(data, logname)
    lines = open(lp).read().splitlines()
    open(lp, 'w').write('\n'.join(restate_log(lines, ropes, fnames)) + '\n')
    return changed


def work_one(job):
    """Tighten one record; returns the state dict (also for failures)."""
    part, tag, fname, rid, hdr, table, ref, iters = job
    name = knot_of_id(rid)
    entry = tables.knots()[name]
    conway = re.search(r'Conway="([^"]*)"', hdr).group(1)
    t0 = time.time()
    L0, D0 = measure(table)
    before = L0 / D0
    state = dict(id=rid, knot=name, file=fname, before=before, table=ref, log=[], text=None)
    if FRESH:
        # a fresh start from the braid word laid out as a closed braid, for
        # records whose stored arrangement is stuck
        word = list(entry.word)
        P = geom.closed_braid(word[ROTATE:] + word[:ROTATE])[0]
    else:
        P = curve(table, 2400) / D0
    for seed in SEEDS or (0, 1, 2):
        try:
            # coarse to fine: the coarse polygons settle the large-scale
            # arrangement quickly, the fine one the contacts
            X = P
            for h in STAGES:
                X, hist = tighten.tighten(X, h=h, iters=iters, seed=seed,
                                          stall_tol=2e-5, stall_checks=12,
                                          loose_start=FRESH, always_safe=FRESH)
        except RuntimeError as e:
            state['log'].append([fname, rid, name, 'seed=%d' % seed, 'tighten=FAIL(%s)' % e, 'FAIL'])
            continue
        S = geom.resample(X, 1024)
        cands = []
        for H in HARMONICS:
            rows = geom.fourier_fit(S, H)
            Q = geom.eval_rows(rows, np.arange(1200) * 2 * np.pi / 1200)
            th = geom.series_thickness(Q, *geom.rows_series(rows))
            cands.append((geom.length(Q) / th, H, rows / th))
        best = min(c[0] for c in cands)
        order = sorted(cands, key=lambda c: (c[0] > 1.005 * best, c[1] if c[0] <= 1.005 * best else c[0]))
        for _, H, rows in order[:3]:
            text, rope, D = record_text(tag, rid, conway, rows)
            if rope >= min(before, state.get('after', before)):
                continue
            (h2, comps), = readers.ideal_records(text, tag)
            n = max(800, 16 * H)
            Q = curve(comps[0], n)
            ok, checks = verify.check([Q], entry, np.random.default_rng(seed + H))
            extra = {}
            if ok and fname == 'ideal.txt':
                L19, D19 = measure(comps[0], 19)
                Q19 = curve(comps[0], n, 19)
                ok19, _ = verify.check([Q19], entry, np.random.default_rng(seed + H + 1))
                ok19 &= D19 > 0.05
                checks.append('first19=%s' % ('ok' if ok19 else 'FAIL'))
                ok &= ok19
                extra = dict(rope19=L19 / D19)
            state['log'].append([fname, rid, name, 'seed=%d' % seed, 'tightened', 'harmonics=%d' % H,
                                 'ropelength=%.4f' % rope] + checks + ['PASS' if ok else 'FAIL'])
            if ok:
                state.update(text=text, after=rope, harmonics=H, seed=seed, **extra)
                break
        if state['text'] and not SEEDS:
            break   # with chosen seeds every one is tried, the tightest kept
    state['seconds'] = time.time() - t0
    return state


SEEDS = ()      # seeds of the database runs; by default 0, 1, 2 until one passes
FRESH = False   # database runs start from the braid layout instead of the record
ROTATE = 0      # letters by which the braid word of a fresh start is rotated
FROM_STORED = False   # free Fourier files start from the stored curve

POLES = (0.5, 0.75, 1.0, 1.5)   # distances from the braid axis kept by the closed braids
BLENDS = (1.0, 0.75, 0.5)       # weights of the angle in the parameter of their fit
# what the variant letters u and t mean once a file is tightened here: the
# run goes to convergence, so they only select the seed
TIGHT_VARIANT_TEXT = {'u': 'braid word of the table, tightened to convergence (seed 0)',
                      't': 'tightened to convergence from another random start (seed 2)'}


def variant_line(text, variant):
    """The first comment line of a tightened file, with the meaning of its
    variant letter as it is for the tightened shape."""
    if variant not in TIGHT_VARIANT_TEXT:
        return text
    return text.replace(knotdata.VARIANT_TEXT[variant], TIGHT_VARIANT_TEXT[variant], 1)


def fseries_measure(rows):
    """(length, tube diameter, largest distance from the centre) of the curve
    of Fourier rows, sampled like the checks sample it."""
    P = knotdata.sample(rows, max(1200, 16 * len(rows)))
    return (geom.length(P), geom.series_thickness(P, *geom.rows_series(rows)),
            np.linalg.norm(P, axis=1).max())


def work_fseries(job):
    """Tighten one Fourier file; returns the state dict."""
    part, kid, text, ref, iters = job
    fname = 'knot.%s.fseries' % kid
    knot, variant = knotdata.split_id(kid)
    entry = tables.knots()[knot]
    zero = kid in knotdata.ZERO_FIRST_ROW
    t0 = time.time()
    rows0 = readers.fseries_blocks(text)[0]
    L0, D0, _ = fseries_measure(rows0)
    before = L0 / D0
    state = dict(id=kid, knot=knot, file=fname, before=before, table=ref, log=[], text=None)
    word, seed0, _, extra_h = knotdata.variant_params(list(entry.word), entry.strands, variant)
    # a fresh start from the braid word laid out as a closed braid about the
    # z axis (the stored curves can be far thinner than their tube)
    P = geom.closed_braid(word)[0]
    if FROM_STORED and not zero:
        # or from the stored curve, at tube diameter 1
        P = knotdata.sample(rows0, 2400) / D0
    if zero:
        # closed braids: every distance from the axis, the tightest fit first
        configs = [[(seed0, p) for p in POLES]]
    else:
        configs = [[(seed0 + 10 * a, None)] for a in range(3)]
    for group in configs:
        cands = []
        for seed, pole in group:
            try:
                X = P
                for h in STAGES:
                    X, hist = tighten.tighten(X, h=h, iters=iters, seed=seed, stall_tol=2e-5,
                                              stall_checks=12, pole=pole, loose_start=True,
                                              zero_h1=zero, always_safe=True)
            except RuntimeError as e:
                state['log'].append([fname, kid, knot, 'seed=%d' % seed, 'tighten=FAIL(%s)' % e, 'FAIL'])
                continue
            for H in (20, 30, 45, 60, 80, 99):
                H = min(99 if zero else 100, H + extra_h)
                if zero:
                    for alpha in BLENDS:
                        rows = geom.braid_blend_fit(X, H + 1, alpha)
                        if rows is None:
                            continue
                        L, D, R = fseries_measure(rows)
                        cands.append((L / D, H, rows / R, seed, (pole, alpha)))
                else:
                    rows = geom.fourier_fit(geom.resample(X, 1024), H)
                    L, D, R = fseries_measure(rows)
                    cands.append((L / D, H, rows / R, seed, None))
            if zero and not any(c[4] is not None and c[4][0] == pole for c in cands):
                state['log'].append([fname, kid, knot, 'seed=%d' % seed, 'axis=%g' % pole,
                                     'angle-fit=FAIL(not monotonic)', 'FAIL'])
        if not cands:
            continue
        best = min(c[0] for c in cands)
        order = sorted(cands, key=lambda c: (c[0] > 1.005 * best, c[1] if c[0] <= 1.005 * best else c[0]))
        for _, H, rows, seed, pole in order[:6]:
            # the numbers as written decide the stated values: write, read
            # back, measure, write the measured values
            probe = knotdata.fseries_text(kid, knot, variant, rows, 0.0, 1.0, zero, word)
            back = readers.fseries_blocks(probe)[0]
            L, D, R = fseries_measure(back)
            out = variant_line(knotdata.fseries_text(kid, knot, variant, rows, L / D, D, zero, word), variant)
            back = readers.fseries_blocks(out)[0]
            rope = L / D
            if rope >= before or (zero and back[0].any()):
                continue
            Q = knotdata.sample(back, max(800, 16 * len(back)))
            ok, checks = verify.check([Q], entry, np.random.default_rng(seed + H))
            state['log'].append([fname, kid, knot, 'seed=%d' % seed]
                                + (['axis=%g' % pole[0], 'blend=%g' % pole[1]] if zero else [])
                                + ['tightened', 'rows=%d' % len(back), 'ropelength=%.4f' % rope]
                                + checks + ['PASS' if ok else 'FAIL'])
            if ok:
                state.update(text=out, after=rope, harmonics=len(back), seed=seed)
                break
        if state['text']:
            break
    state['seconds'] = time.time() - t0
    return state


def assemble_fseries(data, work):
    """Write the tightened Fourier files and their lines of the log."""
    d = os.path.join(work, 'fseries')
    new_logs = {}
    for kid in knotdata.FSERIES_IDS:
        p = state_path(work, 'fseries', kid)
        if not os.path.exists(p):
            continue
        st = json.load(open(p))
        if not st.get('text'):
            continue
        new_logs[kid] = st['log']
        open(os.path.join(data, 'knot.%s.fseries' % kid), 'w').write(st['text'])
    lp = os.path.join(data, 'verification.fseries.log')
    lines = open(lp).read().splitlines() if os.path.exists(lp) else [
        '\t'.join(['# knot table: database_knotinfo', tables.version(), 'numpy', np.__version__])]
    keep = [l for l in lines if l.split('\t')[1:2] == [] or l.split('\t')[1] not in new_logs]
    for kid in knotdata.FSERIES_IDS:
        if kid in new_logs:
            keep.extend('\t'.join(x) for x in new_logs[kid])
    # in the order of the files, the comment lines where they were
    order = {kid: k for k, kid in enumerate(knotdata.FSERIES_IDS)}
    head = [l for l in lines[:1] if l.startswith('#')]
    tail = [l for l in lines[1:] if l.startswith('#')]
    body = [l for l in keep if not l.startswith('#')]
    body.sort(key=lambda l: order.get(l.split('\t')[1], len(order)) if '\t' in l else len(order))
    open(lp, 'w').write('\n'.join(head + body + tail) + '\n')
    return len(new_logs)


def state_path(work, part, rid):
    return os.path.join(work, part, rid.replace(':', '_') + '.json')


def assemble(data, part, work):
    """Rewrite the data files and the log of PART from the state files."""
    tag, fnames, logname = PARTS[part]
    text = open(os.path.join(data, fnames[0])).read()
    new_logs = {}
    changed = 0
    for rid, rec, hdr, table in records(text, tag):
        p = state_path(work, part, rid)
        if not os.path.exists(p):
            continue
        st = json.load(open(p))
        if not st.get('text'):
            continue   # kept as it was, with its log lines
        new_logs[rid] = st['log']
        if st['text'] != rec:
            text = text.replace(rec, st['text'])
            changed += 1
    for f in fnames:
        open(os.path.join(data, f), 'w').write(text)
    # the log: the lines of the tightened records replace their old lines
    lp = os.path.join(data, logname)
    lines = open(lp).read().splitlines()
    out, done = [], set()
    for line in lines:
        f = line.split('\t')
        if len(f) > 2 and f[0] in fnames and f[1] in new_logs:
            if f[1] not in done:
                out.extend('\t'.join(x) for x in new_logs[f[1]])
                done.add(f[1])
            continue
        out.append(line)
    open(lp, 'w').write('\n'.join(out) + '\n')
    return changed


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    ap.add_argument('data')
    ap.add_argument('part', choices=sorted(PARTS) + ['fseries'])
    ap.add_argument('--jobs', type=int, default=2)
    ap.add_argument('--only', default='')
    ap.add_argument('--worst-first', action='store_true')
    ap.add_argument('--iters', type=int, default=20000)
    ap.add_argument('--seeds', default='',
                    help='databases: try every one of these seeds and keep the tightest (comma-separated)')
    ap.add_argument('--fresh', action='store_true',
                    help='databases: start from the braid layout of the table, not from the record')
    ap.add_argument('--rotate', type=int, default=0,
                    help='with --fresh: rotate the braid word cyclically by this many letters')
    ap.add_argument('--from-stored', action='store_true',
                    help='Fourier files whose first row is not zero: start from the stored curve')
    ap.add_argument('--poles', default='',
                    help='distances from the braid axis to try for the closed braids, comma-separated')
    ap.add_argument('--assemble', action='store_true',
                    help='only rewrite the data files and the log from the state files')
    ap.add_argument('--remeasure', action='store_true',
                    help='restate the measured values of every record (databases: rescaled '
                         'to tube diameter 1) or file')
    ap.add_argument('--report', action='store_true',
                    help='list the finished records with their ratios before and after')
    ap.add_argument('--work', default=os.path.join(os.path.dirname(os.path.abspath(__file__)), 'work'))
    a = ap.parse_args(argv[1:])
    global SEEDS, FRESH, ROTATE, POLES, FROM_STORED
    SEEDS = tuple(int(v) for v in a.seeds.split(',') if v)
    FRESH = a.fresh
    ROTATE = a.rotate
    FROM_STORED = a.from_stored
    if a.poles:
        POLES = tuple(float(v) for v in a.poles.split(','))
    os.makedirs(os.path.join(a.work, a.part), exist_ok=True)
    if a.report:
        for f in sorted(os.listdir(os.path.join(a.work, a.part))):
            if not f.endswith('.json'):
                continue
            st = json.load(open(os.path.join(a.work, a.part, f)))
            r = st['table']
            q = (lambda v: '%.3f' % (2 * v / r)) if r else (lambda v: '-')
            print('%-12s %-10s %s -> %s' % (st['id'], st['knot'], q(st['before']),
                                           q(st['after']) if st.get('text') else 'kept'))
        return
    if a.remeasure:
        print('%d records rewritten' % (remeasure_fseries(a.data, a.work) if a.part == 'fseries'
                                         else remeasure(a.data, a.part, a.work)))
        return
    if a.assemble:
        n = assemble_fseries(a.data, a.work) if a.part == 'fseries' else assemble(a.data, a.part, a.work)
        print('%d records rewritten' % n)
        return
    ref = table_ropelength()
    only = [s for s in a.only.split(',') if s]
    jobs = []
    if a.part == 'fseries':
        worker, n_all = work_fseries, len(knotdata.FSERIES_IDS) - 1
        for kid in knotdata.FSERIES_IDS:
            if kid == '1_1' or (only and kid not in only):
                continue
            if os.path.exists(state_path(a.work, a.part, kid)):
                continue
            text = open(os.path.join(a.data, 'knot.%s.fseries' % kid)).read()
            r = ref.get(knotdata.split_id(kid)[0])
            m = re.search(r'ropelength ([0-9.]+)', text)
            jobs.append((a.part, kid, text, r, a.iters, 2 * float(m.group(1)) / r if r and m else 0))
        recs = []
    else:
        worker = work_one
        tag, fnames, _ = PARTS[a.part]
        text = open(os.path.join(a.data, fnames[0])).read()
        recs = records(text, tag)
        n_all = len(recs)
    for rid, rec, hdr, table in recs:
        name = knot_of_id(rid)
        if only and name not in only and rid not in only:
            continue
        if os.path.exists(state_path(a.work, a.part, rid)):
            continue
        r = ref.get(name)
        L = float(re.search(r' L="([^"]+)"', hdr).group(1))
        jobs.append((a.part, tag, fnames[0], rid, hdr, table, r, a.iters, 2 * L / r if r else 0))
    if only and a.part == 'fseries':
        jobs.sort(key=lambda j: only.index(j[1]))
    elif only:
        jobs.sort(key=lambda j: only.index(knot_of_id(j[3])) if knot_of_id(j[3]) in only else only.index(j[3]))
    elif a.worst_first:
        jobs.sort(key=lambda j: -j[-1])
    jobs = [j[:-1] for j in jobs]
    print('%d records to do (%d done before)' % (len(jobs), n_all - len(jobs)), flush=True)
    t0 = time.time()

    def finish(st, k):
        with open(state_path(a.work, a.part, st['id']) + '.tmp', 'w') as f:
            json.dump(st, f)
        os.replace(state_path(a.work, a.part, st['id']) + '.tmp', state_path(a.work, a.part, st['id']))
        if a.part == 'fseries':
            assemble_fseries(a.data, a.work)
        else:
            assemble(a.data, a.part, a.work)
        r = st['table']
        fmt = lambda v: '%.3f' % (2 * v / r) if r else '-'
        print('[%d/%d] %s %s: ratio %s -> %s%s (%.0f s, total %.0f s)' % (
            k, len(jobs), st['id'], st['knot'], fmt(st['before']),
            fmt(st['after']) if st.get('text') else 'kept (%s)' % (
                'no tighter shape' if not st['log'] else st['log'][-1][-1]),
            ', first 19 harmonics %s' % fmt(st['rope19']) if st.get('rope19') else '',
            st['seconds'], time.time() - t0), flush=True)

    if a.jobs <= 1:
        for k, j in enumerate(jobs, 1):
            finish(worker(j), k)
    else:
        with mp.Pool(a.jobs) as pool:
            for k, st in enumerate(pool.imap_unordered(worker, jobs), 1):
                finish(st, k)


if __name__ == '__main__':
    main(sys.argv)
