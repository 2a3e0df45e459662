"""Independent checks of the knot type of stored curves.

The curves are rebuilt from the numbers as written to the data files (read
back with the small readers in `readers`), projected in a random direction,
turned into a planar-diagram code and handed to spherogram/snappy, whose
results are compared with the knot table."""
import numpy as np
import snappy  # noqa: F401  (makes spherogram's exterior() available)
import spherogram

import geom
import tables


def _diagram(comps, rng, tries=5):
    last = None
    for _ in range(tries):
        try:
            pd = geom.pd_code(comps, geom.random_rotation(rng))
        except ValueError as e:   # a degenerate projection: try another
            last = e
            continue
        return pd
    raise last


def _orientation_preserving(M, Mt, tries=6):
    """True/False when an orientation-preserving isometry M -> Mt exists or
    not, None when snappy cannot decide."""
    for _ in range(tries):
        try:
            isos = M.is_isometric_to(Mt, return_isometries=True)
        except RuntimeError:
            M.randomize()
            continue
        if not isos:
            return False
        for iso in isos:
            cm = iso.cusp_maps()[0]
            if cm[0, 0] * cm[1, 1] - cm[0, 1] * cm[1, 0] > 0:
                return True
        return False
    return None


def _identify(M, tries=6):
    names = set()
    for _ in range(tries):
        try:
            names |= {str(x).split('(')[0] for x in M.identify()}
        except RuntimeError:
            pass
        if names:
            break
        M.randomize()
    return names


def _hfk_det(h):
    return abs(sum(((-1) ** (a + m)) * r for (a, m), r in h['ranks'].items()))


def check(comps, entry, rng):
    """Check closed polylines against a table entry.  Returns (ok, checks)
    where checks is a list of 'name=result' texts."""
    out = []
    ok = True
    pd = _diagram(comps, rng)
    L = spherogram.Link(pd)
    ncomp = len(L.link_components)
    if ncomp != entry.components:
        return False, ['components=%d!=%d' % (ncomp, entry.components)]
    L.simplify('global')
    out.append('crossings=%d' % len(L.crossings))
    Lt = spherogram.Link(entry.pd)
    hyperbolic = entry.volume is not None and entry.volume > 1e-3
    if hyperbolic:
        M = L.exterior()
        Mt = Lt.exterior()
        names = _identify(M)
        want = tables.snappy_name(entry.name)
        good = want in names
        ok &= good
        out.append('identify=%s' % ('ok' if good else 'FAIL(%s)' % ','.join(sorted(names))))
        vol = float(M.volume())
        good = abs(vol - entry.volume) < 1e-6
        ok &= good
        out.append('volume=%s(%.10f)' % ('ok' if good else 'FAIL', vol))
        same = _orientation_preserving(M, Mt)
        good = same is True
        ok &= good
        out.append('chirality=%s' % {True: 'ok', False: 'FAIL', None: 'UNDECIDED'}[same])
    if entry.components == 1:
        if L.crossings:
            h = L.knot_floer_homology()
        else:
            h = {'ranks': {(0, 0): 1}, 'tau': 0}
        ht = Lt.knot_floer_homology()
        det = _hfk_det(h)
        good = det == entry.determinant
        ok &= good
        out.append('determinant=%s(%d)' % ('ok' if good else 'FAIL', det))
        good = h['ranks'] == ht['ranks'] and h['tau'] == ht['tau']
        ok &= good
        out.append('hfk=%s' % ('ok' if good else 'FAIL'))
    else:
        lk = sorted(abs(v) for row in L.linking_matrix() for v in row)
        lkt = sorted(abs(v) for row in Lt.linking_matrix() for v in row)
        good = lk == lkt
        ok &= good
        out.append('linking=%s' % ('ok' if good else 'FAIL'))
        if not hyperbolic:
            H = str(L.exterior().homology())
            Ht = str(Lt.exterior().homology())
            good = H == Ht
            ok &= good
            out.append('homology=%s' % ('ok' if good else 'FAIL'))
    return ok, out
