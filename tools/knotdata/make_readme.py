#!/usr/bin/env python3
"""Write data/knot_fseries/README.md from the generated files and logs.

Usage: python make_readme.py DATA_DIR"""
import hashlib
import json
import os
import re
import sys

import numpy as np

import geom
import knotdata
import readers
import tables
import tight

HEAD = """# Knot data compiled into the module

Everything in this directory except this README and the `verification.*.log`
files is compiled into the module at build time (see `tools/embed/`). The
files are written by `tools/knotdata/` (run by hand, not by the build; its
requirements are in `tools/knotdata/requirements.txt`):

    python knotdata.py OUTDIR fseries ideal k12 k11 links
    python tight.py OUTDIR ideal --jobs 2      (also fseries, k11a, k11n)
    python make_readme.py OUTDIR

## How the shapes are made

Every knot or link starts from a braid word of the knot table: the word is
laid out as a closed braid around the z axis (one slot of angle per letter,
the two strands of a letter swapping radius, one passing over the other) and
the closed polyline is tightened: each step moves every vertex by a tension
term (shortening the curve), a uniform squeeze and a contact term that keeps
non-neighbouring parts one tube diameter apart, and every move is capped below
half a lower bound of the smallest distance between non-adjacent segments, so
that no strand can pass through another. Runs are seeded (numpy's default
generator) and reproducible. The result is then resampled by arc length and
fitted by the FFT of each coordinate (Fourier files and databases) or written
as points (12-crossing polylines). The shapes are tight, not ideal: they are
not minimisers of ropelength. Every shape is scaled so that its tube diameter
is 1 (the Fourier files are then scaled into the unit ball, so that their
largest distance from the centre is 1, as for the unit circle "1_1"; their
tube diameter is given in a comment line), and its ropelength (length over
tube diameter) is measured on the stored shape, the tube diameter taken as
the smaller of twice the smallest radius of curvature (from the derivatives
of the stored series on a fine grid) and the smallest doubly-critical
self-distance of the curve sampled from the stored numbers.

## How the database records are tightened

`tight.py` takes the records of the databases one by one, samples the
stored curve, and tightens it as a closed polygon of a few hundred vertices
(`tighten.py`): every step shortens the polygon (each vertex moves towards
the midpoint of its neighbours) and shrinks it slightly about its centre,
then projects it back onto the constraints by relaxation sweeps: vertices
farther apart along the curve than a quarter turn of the tightest allowed
bend (arc length pi/2 diameters) stay one tube diameter apart, and every
radius of curvature stays at least one tube radius; the shrink is reduced
while an overlap remains.  The converged polygon is fitted again by the FFT
(the fewest harmonics whose fit is within 0.5%% of the tightest fit), the
fitted curve is rescaled so that its tube diameter is 1, and L is measured
on the numbers as written.  The record is replaced only when it passes the
checks below and is tighter than the stored one.  Runs are seeded and
reproducible; finished records are kept as state files in
`tools/knotdata/work/`, so a stopped run resumes with the next record.
`tight.py OUTDIR PART --remeasure` restates the measured values of every
record (L and D, after rescaling the record to tube diameter 1) or file (the
ropelength and tube diameter of its comment line) on the numbers as written.
The Fourier files are tightened the same way (`tight.py OUTDIR fseries`),
but from the layout of their braid word (the stored curves of some were far
thinner than their tube), and fitted like the originals: the free ones by
arc length, the closed braids by a parameter that blends their angle about
the z axis with arc length (the angle alone makes the fit ring where a strand
runs almost parallel to the axis).  The closed braids are kept off the axis
(the tightest verified fit of several distances from it and several blends)
and the first harmonic of their angle parametrisation is taken out during
the run; what is left of harmonic 1 in the fit is removed, so that harmonic
1 is exactly zero in the file and the checks see the curve as stored.  Then
they are scaled into the unit ball and their comment lines state the
ropelength and tube diameter measured on the numbers as written.  The log
lines marked `tightened` are those of shapes made so; for them the letters
u, r and t of the file name only select the seed (the run goes to
convergence).  Records that settle in a poor arrangement can be run again
with other seeds (`--seeds`), from a fresh braid layout (`--fresh`,
`--rotate`), and free Fourier files from their stored curve
(`--from-stored`); the tightest passing shape is kept.  The links and the
12-crossing polylines are not tightened by `tight.py`: they keep the shapes
of the first relaxation.  The tables at the end
give the ropelength of every record and file beside the value of KnotInfo.

## How they are checked

Before a file is written, its curve is rebuilt from the text as written (the
readers in `tools/knotdata/readers.py`), projected in a random direction and
turned into a planar-diagram code, which the programs spherogram and snappy
check against the table:

- `identify=ok`: snappy's census identification of the exterior contains the
  table's knot or link under its Dowker-Thistlethwaite census name (K10a84
  for KnotInfo's 10_86: Rolfsen's numbering of a few 10-crossing knots
  differs between tables, so knots are matched by this name). Required for
  hyperbolic knots; for links `identify=same-exterior-as(...)` marks a link
  whose exterior is also that of another table link, which the meridian
  check below tells apart;
- `volume=ok`: the hyperbolic volume equals the table's to 1e-6 (hyperbolic);
- `chirality=ok`: an orientation-preserving isometry exists between the
  exterior and the exterior of the table's own planar-diagram code
  (hyperbolic);
- `meridians=ok`: such an isometry also takes meridians to meridians, so the
  link is the table's link (hyperbolic links);
- `determinant=ok`: the determinant from knot Floer homology (the Alexander
  polynomial at -1) equals the table's (knots);
- `hfk=ok`: the knot Floer homology (ranks and tau, which also tells mirror
  images apart) equals that of the table's planar-diagram code (knots; the
  check for the non-hyperbolic torus knots);
- `linking=ok`, `homology=ok`: linking numbers and the homology of the
  exterior equal the table link's (links; homology for the non-hyperbolic
  ones);
- `first19=ok` (ideal.txt): the same checks pass for the curve of harmonics
  1 to 19 alone, the ones that the particle evaluator reads.

A shape that fails is regenerated from another seed (or fitted with other
numbers of harmonics); nothing is edited by hand. Every attempt, failed or
passed, is in the `verification.*.log` files: fseries for the Fourier files,
ideal for ideal.txt, k11 for the 11-crossing databases, links for the link
databases, k12 for the polylines.

## Tables

- C. Livingston and A. H. Moore, *KnotInfo: Table of Knot Invariants* and
  *LinkInfo: Table of Link Invariants*, read through the package
  database_knotinfo (version %(version)s): braid words, Conway notation,
  planar-diagram codes, volumes and determinants.
- The census of knot and link exteriors shipped with SnapPy (M. Culler,
  N. M. Dunfield, M. Goerner and J. R. Weeks, *SnapPy, a computer program for
  studying the geometry and topology of 3-manifolds*), including the
  Hoste-Thistlethwaite tables (J. Hoste, M. Thistlethwaite and J. Weeks,
  *The first 1,701,936 knots*, Math. Intelligencer 20 (1998) 33-48), and
  Z. Szabo's knot Floer homology program, used for the checks.

Knots up to ten crossings carry KnotInfo's names, which follow Rolfsen's
table (D. Rolfsen, *Knots and Links*, 1976) with the Perko pair counted once;
11- and 12-crossing knots and the links carry the Dowker-Thistlethwaite names
of the tables.

## Files

- `knot.<id>.fseries` (78 files): one block of Fourier rows
  `a_x b_x a_y b_y a_z b_z`, row j holding harmonic j (no constant term: the
  curve is centred). The letters after the knot's name mark another shape of
  the same knot, as listed below. Files with an all-zero first row are closed
  braids tightened around the braid axis (kept at a distance from it) and
  parametrised by the angle about it, whose harmonic 1 is zero; that row is
  written out so that the following rows are harmonics 2, 3, ... "1_1" is the
  unit circle. "15331" holds the knot 13a_1533.
- `ideal.txt` and `ideal_database.txt` (the same text): %(nideal)d records
  `<AB Id="..." Conway="..." L="..." D="1.000000">` with `<Coeff I=... A=...
  B=... />` lines of harmonics 1 to K: the %(nclassic)d prime knots of 3 to 10
  crossings with ids `C:N:1` (the knot C_N) and the knots 11a_1 to
  11a_7 and 11n_1 to 11n_7 with ids `K11a1` ...; L is the ropelength, D the
  tube diameter.
- `ideal_11a.txt`, `ideal_11n.txt`: %(n11a)d and %(n11n)d 11-crossing knots as
  `<HT Id="K11a1" ...>` records (same coefficient lines).
- `idealLinks.txt` (links up to 9 crossings), `idealLinks_10a.txt`,
  `idealLinks_10n.txt`: %(nl9)d, %(nl10a)d and %(nl10n)d links as `<TL Id="L5a1"
  ... n="2">` records, one `<Component I="...">` group per component with its
  offset as harmonic 0 (for each link the first orientation of the table).
- `ideal_12_data/12a<N>.txt`, `12n<N>.txt` (1288 and 888 files): the
  12-crossing knots of the table as closed polylines, one point `x y z` per
  line (the first point not repeated), lightly tightened (fewer iterations).
"""

ROPE_HEAD = """
## Ropelengths

Measured on the stored numbers: the curve is sampled at %d points (more for
the Fourier files with many rows), its tube diameter is the smaller of twice
the smallest radius of curvature (from the derivatives of the series on a
finer grid) and the smallest doubly-critical self-distance of the samples.
To compare with KnotInfo's `ropelength` column, the columns "rope" give the
length over the tube *radius* (twice L / D); "KnotInfo" is the table's value
and "ratio" their quotient (empty where the table gives none).  For
ideal.txt (= ideal_database.txt), "rope 1-19" is the curve of harmonics 1 to
19 alone, the one that the particle evaluator reads.

| data | records with a table value | ratio: median | best | worst | within 10%% | within 25%% |
|---|---|---|---|---|---|---|
%s
"""

FSERIES_HEAD = """
## The Fourier files

"ropelength (comment)" is the length over tube diameter stated in the file's
comment line; "rope", "KnotInfo" and "ratio" are as above.

| id | knot | shape | rows | first row zero | ropelength (comment) | rope | KnotInfo | ratio |
|---|---|---|---|---|---|---|---|---|
"""


N_SAMPLE = 1200


class Measures:
    """Ropelength measurements of stored curves, cached by the text of the
    record or file in the work directory (the numbers decide the result)."""

    def __init__(self, path):
        self.path = path
        self.cache = json.load(open(path)) if os.path.exists(path) else {}

    def get(self, text, fn):
        key = hashlib.sha1(('v2\n' + text).encode()).hexdigest()
        if key not in self.cache:
            self.cache[key] = fn()
        return self.cache[key]

    def save(self):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        json.dump(self.cache, open(self.path, 'w'))


def rope_of(P, ks, A, B):
    """Length over tube radius of the closed curve sampled at P, whose
    Fourier series is given."""
    return 2 * geom.length(P) / geom.series_thickness(P, ks, A, B)


def fmt_ratio(rope, ref):
    return ('%.2f' % ref, '%.3f' % (rope / ref)) if ref else ('', '')


def summary(label, ratios):
    # counted as the tables print them (three decimals)
    r = np.sort(np.round([x for x in ratios if x], 3))
    if not len(r):
        return '| %s | 0 | | | | | |' % label
    return '| %s | %d | %.3f | %.3f | %.3f | %d | %d |' % (
        label, len(r), np.median(r), r[0], r[-1], (r <= 1.10).sum(), (r <= 1.25).sum())


def main(d):
    ref = tight.table_ropelength()
    meas = Measures(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'work', 'measures.json'))
    frows = []
    fratios = []
    for kid in knotdata.FSERIES_IDS:
        text = open(os.path.join(d, 'knot.%s.fseries' % kid)).read()
        block = readers.fseries_blocks(text)[0]
        m = re.search(r'ropelength ([0-9.]+)', text)
        if kid == '1_1':
            knot, shape = '0_1 (unknot)', 'unit circle'
            r = None
        else:
            knot, variant = knotdata.split_id(kid)
            shape = knotdata.VARIANT_TEXT[variant]
            if kid in knotdata.ZERO_FIRST_ROW and variant != 'd':
                shape += ', tightened around the braid axis'
            r = ref.get(knot)
        n = max(N_SAMPLE, 16 * len(block))
        rope = meas.get(text, lambda: rope_of(knotdata.sample(block, n), *geom.rows_series(block)))
        kv, ratio = fmt_ratio(rope, r)
        fratios.append(rope / r if r else None)
        frows.append('| %s | %s | %s | %d | %s | %s | %.3f | %s | %s |' % (
            kid, knot, shape, len(block), 'yes' if not block[0].any() else 'no',
            m.group(1) if m else '', rope, kv, ratio))

    def count(name, tag):
        p = os.path.join(d, name)
        return open(p).read().count('<%s ' % tag) if os.path.exists(p) else 0

    ideal = open(os.path.join(d, 'ideal.txt')).read()
    info = dict(version=tables.version(), nideal=ideal.count('<AB '),
                nclassic=len(re.findall(r'<AB Id="\d+:\d+:1"', ideal)),
                n11a=count('ideal_11a.txt', 'HT'), n11n=count('ideal_11n.txt', 'HT'),
                nl9=count('idealLinks.txt', 'TL'), nl10a=count('idealLinks_10a.txt', 'TL'),
                nl10n=count('idealLinks_10n.txt', 'TL'))
    sections, sums = [], []
    for fname, tag in (('ideal.txt', 'AB'), ('ideal_11a.txt', 'HT'), ('ideal_11n.txt', 'HT')):
        first19 = fname == 'ideal.txt'
        lines = ['', '### %s' % fname, '',
                 '| id | knot | L | rope | KnotInfo | ratio |' + (' rope 1-19 | ratio 1-19 |' if first19 else ''),
                 '|---|---|---|---|---|---|' + ('---|---|' if first19 else '')]
        ratios, ratios19 = [], []
        for rid, rec, hdr, table in tight.records(open(os.path.join(d, fname)).read(), tag):
            knot = tight.knot_of_id(rid)
            r = ref.get(knot)
            L = float(re.search(r' L="([^"]+)"', hdr).group(1))
            rope = meas.get(rec, lambda: rope_of(tight.curve(table, N_SAMPLE), *readers.table_series(table)))
            kv, ratio = fmt_ratio(rope, r)
            ratios.append(rope / r if r else None)
            line = '| %s | %s | %.6f | %.3f | %s | %s |' % (rid, knot, L, rope, kv, ratio)
            if first19:
                rope19 = meas.get('first19\n' + rec, lambda: rope_of(tight.curve(table, N_SAMPLE, 19),
                                                                    *readers.table_series(table, 19)))
                ratios19.append(rope19 / r if r else None)
                line += ' %.3f | %s |' % (rope19, fmt_ratio(rope19, r)[1])
            lines.append(line)
        sums.append(summary(fname + (' (= ideal_database.txt)' if first19 else ''), ratios))
        if first19:
            sums.append(summary('ideal.txt, harmonics 1-19', ratios19))
        sections.append('\n'.join(lines))
    zero = [x for kid, x in zip(knotdata.FSERIES_IDS, fratios) if kid in knotdata.ZERO_FIRST_ROW]
    free = [x for kid, x in zip(knotdata.FSERIES_IDS, fratios) if kid not in knotdata.ZERO_FIRST_ROW]
    sums.append(summary('knot.*.fseries, first row not zero', free))
    sums.append(summary('knot.*.fseries, first row zero', zero))
    meas.save()
    with open(os.path.join(d, 'README.md'), 'w') as f:
        f.write(HEAD % info + ROPE_HEAD % (N_SAMPLE, '\n'.join(sums)) + FSERIES_HEAD
                + '\n'.join(frows) + '\n' + '\n'.join(sections) + '\n')


if __name__ == '__main__':
    main(sys.argv[1])
