#!/usr/bin/env python3
"""Generate, verify and write the knot data of data/knot_fseries/.

Every shape starts from a braid word of the knot table (database_knotinfo),
laid out as a closed braid, tightened without strand passage, resampled and
fitted (Fourier files and databases) or written as points (12-crossing
polylines).  Each curve is read back from the text as written, checked with
spherogram/snappy against the table (see verify.py) and only then kept;
a failing shape is regenerated with the next seed.  Every outcome goes to
verification.log.

The shapes are then tightened towards ideal ones, record by record and file
by file, by tight.py (see there).

Usage: python knotdata.py OUTDIR PART [PART ...]
PART is one of fseries, ideal, links, k11, k12 (or all)."""
import os
import sys
import time

import numpy as np

import geom
import readers
import tables
import verify

MAX_TRIES = 4


def log(fh, *fields):
    fh.write('\t'.join(str(f) for f in fields) + '\n')
    fh.flush()


# ------------------------------------------------------------------ shapes

def layout(word, spacing, max_points=None):
    comps = geom.closed_braid(word)
    L0 = sum(geom.length(c) for c in comps)
    ncross = len(word)
    N = int(max(np.ceil((8 + 6.5 * ncross) / spacing), L0 / 0.8))
    if max_points:
        N = min(N, max_points)
    return [geom.resample(c, max(16, int(round(N * geom.length(c) / L0)))) for c in comps]


def tight_shape(word, seed, iters, spacing=0.4, pole=False, max_points=None):
    comps = layout(word, spacing, max_points)
    rng = np.random.default_rng(seed)
    polerad = None
    if pole:
        polerad = 0.5 * min(np.hypot(c[:, 0], c[:, 1]).min() for c in comps)
    return geom.tighten(comps, iters=iters, rng=rng, jitter=0.02, pole=polerad)


def sample(rows, n):
    s = np.arange(n) * 2 * np.pi / n
    return geom.eval_rows(rows, s)


def scaled_rows(rows, n=1200):
    """Rows rescaled so that the tube diameter of the curve is 1; returns
    (rows, ropelength)."""
    P = sample(rows, n)
    th = geom.thickness([P])
    rows = rows / th
    P = P / th
    return rows, geom.length(P)


def fmt_row(r):
    return ' '.join('%.9f' % v for v in r)


# ------------------------------------------------------------------ fseries

# Variants of the Fourier-series files, by the letters after the knot name.
ZERO_FIRST_ROW = {
    '4_1d', '5_2d', '6_2d', '6_3d', '7_2d', '7_3d', '7_5d', '7_6d', '7_7d',
    '8_1d', '8_11d', '8_12d', '8_13d', '8_14d', '8_15d', '8_2d', '8_21d',
    '8_3d', '8_4d', '8_7d', '8_8d', '8_9d',
    '3_1p', '3_1u', '4_1p', '4_1z', '5_1p', '5_1u', '5_2r', '6_2p', '6_3z',
    '7_1p', '7_2r', '7_6s', '8_10s', '8_12z', '8_13p', '8_14r', '8_15p',
    '8_18z', '8_19t', '8_19u', '8_20r', '8_21p', '8_21r', '8_3z'}
NO_BLANK_FIRST_LINE = {
    '1_1', '15331', '10_1', '10_1n', '12a_1202', '12a_1202z6', '9_2', '9_2n',
    '8_19t', '8_19u', '8_20r', '8_21d', '8_21p', '8_21r'}
FSERIES_IDS = [
    "10_1", "10_1n", "12a_1202", "12a_1202z6", "15331", "1_1", "3_1", "3_1p",
    "3_1u", "4_1", "4_1d", "4_1p", "4_1z", "5_1", "5_1p", "5_1u", "5_2",
    "5_2d", "5_2r", "6_1", "6_2", "6_2d", "6_2p", "6_3d", "6_3z", "7_1",
    "7_1p", "7_2", "7_2d", "7_2r", "7_3", "7_3d", "7_4", "7_5", "7_5d",
    "7_6d", "7_6s", "7_7d", "8_1", "8_1d", "8_10s", "8_11", "8_11d", "8_12d",
    "8_12z", "8_13d", "8_13p", "8_14d", "8_14r", "8_15", "8_15d", "8_15p",
    "8_16", "8_17", "8_18", "8_18z", "8_19t", "8_19u", "8_2", "8_2d",
    "8_20r", "8_21d", "8_21p", "8_21r", "8_3", "8_3d", "8_3z", "8_4", "8_4d",
    "8_5", "8_6", "8_6p", "8_7d", "8_7s", "8_8d", "8_9d", "9_2", "9_2n"]

VARIANT_TEXT = {
    '': 'braid word of the table, tightened freely',
    'p': 'braid word stabilised with one more strand (positive generator)',
    's': 'braid word stabilised with one more strand (negative generator)',
    'z': 'braid word rotated cyclically by one letter',
    'z6': 'braid word rotated cyclically by six letters',
    'u': 'longer tightening (twice the iterations)',
    'r': 'tightening from another random start (seed 1)',
    't': 'shorter tightening from another random start (seed 2)',
    'n': 'another number of harmonics (more rows)',
    'd': 'braid word of the table, tightened around the braid axis',
}


def split_id(kid):
    if kid == '15331':
        return '13a_1533', ''
    base, _, rest = kid.partition('_')
    j = 0
    while j < len(rest) and rest[j].isdigit():
        j += 1
    return base + '_' + rest[:j], rest[j:]


def variant_params(word, strands, variant):
    seed, iters, extra_h = 0, 150, 0
    if variant == 'p':
        word = word + [strands]
    elif variant == 's':
        word = word + [-strands]
    elif variant.startswith('z'):
        k = int(variant[1:] or 1) % len(word)
        word = word[k:] + word[:k]
    elif variant == 'u':
        iters = 300
    elif variant == 'r':
        seed = 1
    elif variant == 't':
        seed, iters = 2, 100
    elif variant == 'n':
        extra_h = 12
    return word, seed, iters, extra_h


def fseries_text(kid, knot, variant, rows, rope, diameter, zero, word):
    lines = []
    desc = 'knot %s (%s): tight shape, not ideal; %s' % (
        knot, kid, VARIANT_TEXT.get(variant, ''))
    first = ('%' if kid in NO_BLANK_FIRST_LINE else ' %') + ' ' + desc
    lines.append(first)
    lines.append('%% braid word %s; ropelength %.6f (length over tube diameter); '
                 'tube diameter %.6f, largest distance from the centre 1'
                 % ('[' + ','.join(str(g) for g in word) + ']', rope, diameter))
    if zero:
        lines.append('% row j is harmonic j; harmonic 1 is zero (parametrised by the angle about the braid axis)')
    lines.append('% lines  a_x(j) b_x(j)  a_y(j)  b_y(j)  a_z(j)  b_z(j)')
    for r in rows:
        lines.append(fmt_row(r))
    return '\n'.join(lines) + '\n'


def make_fseries(kid, out, logf):
    path = os.path.join(out, 'knot.%s.fseries' % kid)
    if kid == '1_1':
        text = ('% unit circle (the unknot): x = cos s, y = sin s\n'
                '% ropelength 6.283185 for tube diameter 1 (radius of the tube 0.5)\n'
                '% lines  a_x(j) b_x(j)  a_y(j)  b_y(j)  a_z(j)  b_z(j)\n'
                '1 0 0 1 0 0\n')
        rows = readers.fseries_blocks(text)
        P = sample(rows[0], 600)
        good = len(rows) == 1 and np.allclose(np.linalg.norm(P, axis=1), 1) and abs(P[:, 2]).max() == 0
        log(logf, 'knot.1_1.fseries', '1_1', '0_1', 'unit-circle=%s' % ('ok' if good else 'FAIL'),
            'PASS' if good else 'FAIL')
        open(path, 'w').write(text)
        return good
    knot, variant = split_id(kid)
    entry = tables.knots()[knot]
    zero = kid in ZERO_FIRST_ROW
    for attempt in range(MAX_TRIES):
        word, seed, iters, extra_h = variant_params(list(entry.word), entry.strands, variant)
        seed += 10 * attempt
        T = tight_shape(word, seed, iters, pole=zero)
        P = T[0]
        cands = []
        for H in (20, 30, 45, 60, 80, 99):
            H = min(99 if zero else 100, H + extra_h)
            if zero:
                fit = geom.braid_angle_fit(P, H + 1)
                if fit is None:
                    break
                rows = fit[0]
                rows[0] = 0.0
            else:
                rows = geom.fourier_fit(geom.resample(P, 1024), H)
            rows, rope = scaled_rows(rows)
            if zero:
                rows[0] = 0.0
            # scaled into the unit ball, like the unit circle "1_1"
            radius = np.linalg.norm(sample(rows, 1200), axis=1).max()
            cands.append((rope, H, rows / radius, 1.0 / radius))
        # the tightest fits first
        for rope, H, rows, diameter in sorted(cands, key=lambda c: c[0]):
            text = fseries_text(kid, knot, variant, rows, rope, diameter, zero, word)
            back = readers.fseries_blocks(text)
            assert len(back) == 1
            Q = sample(back[0], max(800, 16 * len(back[0])))
            ok, checks = verify.check([Q], entry, np.random.default_rng(seed + H))
            log(logf, 'knot.%s.fseries' % kid, kid, knot, 'seed=%d' % seed, 'rows=%d' % len(back[0]),
                'ropelength=%.4f' % rope, *checks, 'PASS' if ok else 'FAIL')
            if ok:
                open(path, 'w').write(text)
                return True
    return False


# ------------------------------------------------------------- databases

def coeff_lines(rows, offset=None):
    out = []
    if offset is not None:
        out.append('<Coeff I="%3d" A=" %s" B=" %s" />' % (
            0, ', '.join('%.6f' % v for v in offset), ', '.join('%.6f' % 0.0 for _ in range(3))))
    for k, r in enumerate(rows):
        a = (r[0], r[2], r[4])
        b = (r[1], r[3], r[5])
        out.append('<Coeff I="%3d" A=" %s" B=" %s" />' % (
            k + 1, ', '.join('%.6f' % v for v in a), ', '.join('%.6f' % v for v in b)))
    return out


def knot_record(tag, rid, entry, seed, iters, logf, fname, first19):
    """One single-component record; returns its text or None."""
    conway = entry.conway.strip('[]')
    for attempt in range(MAX_TRIES):
        s = seed + 10 * attempt
        T = tight_shape(entry.word, s, iters)
        P = geom.resample(T[0], 1024)
        cands = []
        for H in (19, 30, 45, 60, 90):
            rows, rope = scaled_rows(geom.fourier_fit(P, H))
            cands.append((rope, H, rows))
        best = min(c[0] for c in cands)
        # fewest harmonics whose shape is nearly as tight as the tightest fit,
        # then the others by tightness
        order = sorted(cands, key=lambda c: (c[0] > 1.15 * best, c[1] if c[0] <= 1.15 * best else c[0]))
        for rope, H, rows in order:
            text = '<%s Id="%s" Conway="%s" L="%.6f" D="1.000000">\n%s\n</%s>\n' % (
                tag, rid, conway, rope, '\n'.join(coeff_lines(rows)), tag)
            (hdr, comps), = readers.ideal_records(text, tag)
            n = max(800, 16 * H)
            sv = np.arange(n) * 2 * np.pi / n
            Q = readers.eval_coeffs(comps[0], sv)
            ok, checks = verify.check([Q], entry, np.random.default_rng(s + H))
            if ok and first19:
                ok19, c19 = verify.check([readers.eval_coeffs(comps[0], sv, 19)], entry,
                                         np.random.default_rng(s + H + 1))
                checks.append('first19=%s' % ('ok' if ok19 else 'FAIL'))
            log(logf, fname, rid, entry.name, 'seed=%d' % s, 'harmonics=%d' % H,
                'ropelength=%.4f' % rope, *checks, 'PASS' if ok else 'FAIL')
            if ok:
                return text
    return None


def link_record(rid, entry, seed, iters, logf, fname):
    for attempt in range(MAX_TRIES):
        s = seed + 10 * attempt
        T = tight_shape(entry.word, s, iters)
        for H in (19, 30, 45):
            parts = []
            fits = []
            for c in T:
                P = geom.resample(c, 512)
                fits.append((P.mean(axis=0), geom.fourier_fit(P, H)))
            n = 600
            sv = np.arange(n) * 2 * np.pi / n
            curves = [off + geom.eval_rows(rows, sv) for off, rows in fits]
            th = geom.thickness(curves)
            rope = sum(geom.length(c) for c in curves) / th
            for i, (off, rows) in enumerate(fits):
                parts.append('<Component I="%d">\n%s\n</Component>' % (
                    i + 1, '\n'.join(coeff_lines(rows / th, off / th))))
            text = '<TL Id="%s" Conway="" L="%.6f" D="1.000000" n="%d">\n%s\n</TL>\n' % (
                rid, rope, len(T), '\n'.join(parts))
            (hdr, comps), = readers.ideal_records(text, 'TL')
            Q = [readers.eval_coeffs(t, sv) for t in comps]
            ok, checks = verify.check(Q, entry, np.random.default_rng(s + H))
            log(logf, fname, rid, entry.name, 'seed=%d' % s, 'harmonics=%d' % H,
                'ropelength=%.4f' % rope, *checks, 'PASS' if ok else 'FAIL')
            if ok:
                return text
    return None


def ideal_knots():
    names = []
    for name, e in tables.knots().items():
        c = name.split('_')[0]
        if c.isdigit() and 3 <= int(c) <= 10:
            names.append(name)
    extra = ['11a_%d' % i for i in range(1, 8)] + ['11n_%d' % i for i in range(1, 8)]
    return names, extra


def make_ideal(out, logf):
    names, extra = ideal_knots()
    recs = []
    for name in names:
        c, i = name.split('_')
        rid = '%s:%s:1' % (c, i)
        t = knot_record('AB', rid, tables.knots()[name], 0, 150, logf, 'ideal.txt', True)
        if t:
            recs.append(t)
    for name in extra:
        rid = tables.snappy_name(name)
        t = knot_record('AB', rid, tables.knots()[name], 0, 150, logf, 'ideal.txt', True)
        if t:
            recs.append(t)
    text = ('<DATA Name="ideal knot shapes (tight, not ideal)" Records="%d" D="tube diameter">\n' % len(recs)
            + ''.join(recs))
    for f in ('ideal.txt', 'ideal_database.txt'):
        open(os.path.join(out, f), 'w').write(text)
    return len(recs)


def make_k11(out, logf):
    for kind, fname in (('a', 'ideal_11a.txt'), ('n', 'ideal_11n.txt')):
        recs = []
        names = [n for n in tables.knots() if n.startswith('11%s_' % kind)]
        names.sort(key=lambda n: int(n.split('_')[1]))
        for name in names:
            t = knot_record('HT', tables.snappy_name(name), tables.knots()[name], 0, 100,
                            logf, fname, False)
            if t:
                recs.append(t)
        text = '<DATA Name="11-crossing knots %s (tight)" Records="%d">\n' % (kind, len(recs)) + ''.join(recs)
        open(os.path.join(out, fname), 'w').write(text)


def make_links(out, logf):
    groups = {'idealLinks.txt': lambda n: n.crossings <= 9,
              'idealLinks_10a.txt': lambda n: n.name.startswith('L10a'),
              'idealLinks_10n.txt': lambda n: n.name.startswith('L10n')}
    allk = tables.links()
    for fname, sel in groups.items():
        names = [n for n, e in allk.items() if sel(e)]
        recs = []
        for name in names:
            t = link_record(name, allk[name], 0, 100, logf, fname)
            if t:
                recs.append(t)
        text = '<DATA Name="tight links" Records="%d">\n' % len(recs) + ''.join(recs)
        open(os.path.join(out, fname), 'w').write(text)


def make_k12(out, logf, only=None):
    d = os.path.join(out, 'ideal_12_data')
    os.makedirs(d, exist_ok=True)
    names = [n for n in tables.knots() if n.startswith('12a_') or n.startswith('12n_')]
    if only:
        names = [n for n in names if only(n)]
    for name in names:
        e = tables.knots()[name]
        fname = 'ideal_12_data/%s.txt' % name.replace('_', '')
        for attempt in range(MAX_TRIES):
            seed = 10 * attempt
            T = tight_shape(e.word, seed, 50, spacing=0.5, max_points=200)
            P = T[0]
            th = geom.thickness([P])
            P = (P - P.mean(axis=0)) / th
            text = ''.join('%.4f %.4f %.4f\n' % tuple(p) for p in P)
            Q = readers.polyline(text)
            ok, checks = verify.check([Q], e, np.random.default_rng(seed + 7))
            log(logf, fname, name, 'seed=%d' % seed, 'points=%d' % len(Q),
                'ropelength=%.4f' % (geom.length(Q) / geom.thickness([Q])), *checks,
                'PASS' if ok else 'FAIL')
            if ok:
                open(os.path.join(out, fname), 'w').write(text)
                break


def main(argv):
    out = argv[1]
    parts = argv[2:]
    if parts == ['all']:
        parts = ['fseries', 'ideal', 'k12', 'k11', 'links']
    os.makedirs(out, exist_ok=True)
    for part in parts:
        logpath = os.path.join(out, 'verification.%s.log' % part)
        with open(logpath, 'w') as logf:
            log(logf, '# knot table: database_knotinfo', tables.version(), 'numpy', np.__version__)
            t0 = time.time()
            if part == 'fseries':
                for kid in FSERIES_IDS:
                    if not make_fseries(kid, out, logf):
                        log(logf, 'knot.%s.fseries' % kid, kid, 'GAVE UP')
            elif part == 'ideal':
                make_ideal(out, logf)
            elif part == 'k11':
                make_k11(out, logf)
            elif part == 'links':
                make_links(out, logf)
            elif part.startswith('k12'):
                # k12, or k12:a / k12:n for one half
                sel = None
                if ':' in part:
                    h = part.split(':')[1]
                    sel = lambda n, h=h: n.startswith('12' + h)
                make_k12(out, logf, sel)
            log(logf, '# done in %.0f s' % (time.time() - t0))


if __name__ == '__main__':
    main(sys.argv)
