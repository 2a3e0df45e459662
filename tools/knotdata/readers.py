"""Small readers of the three data formats, used to rebuild every curve from
the text exactly as it is written to disk."""
import re

import numpy as np


def fseries_blocks(text):
    """Blocks of a Fourier-series text: lists of six-number rows.  A line is a
    comment when its first character is '%'; empty lines and comment lines
    end a block; a line that does not start with six numbers is skipped."""
    blocks, cur = [], []
    for line in text.split('\n'):
        line = line.rstrip(' \t\r\n')
        if not line or line[0] == '%':
            if cur:
                blocks.append(np.array(cur))
                cur = []
            continue
        parts = line.split()
        try:
            row = [float(p) for p in parts[:6]]
        except ValueError:
            continue
        if len(row) == 6:
            cur.append(row)
    if cur:
        blocks.append(np.array(cur))
    return blocks


_COEFF = re.compile(r'<Coeff\s+I="\s*([0-9]+)"\s+A="([^"]+)"\s+B="([^"]+)"\s*/?>', re.I)
_COMP = re.compile(r'<Component\b([^>]*)>([\s\S]*?)</Component>', re.I)


def _coeffs(body):
    table = {}
    for m in _COEFF.finditer(body):
        a = [float(v) for v in m.group(2).replace(',', ' ').split()]
        b = [float(v) for v in m.group(3).replace(',', ' ').split()]
        table[int(m.group(1))] = (np.array(a), np.array(b))
    return table


def ideal_records(text, tag='AB'):
    """Records of a database text with the given tag: list of
    (header, [coefficient table per component])."""
    out = []
    pos = 0
    opener, closer = '<' + tag, '</' + tag + '>'
    while True:
        s = text.find(opener + ' ', pos)
        if s < 0:
            return out
        g = text.find('>', s)
        e = text.find(closer, g)
        header, body = text[s:g + 1], text[g + 1:e]
        comps = [_coeffs(m.group(2)) for m in _COMP.finditer(body)]
        if not comps:
            comps = [_coeffs(body)]
        out.append((header, comps))
        pos = e + len(closer)


def eval_coeffs(table, s, kmax=None):
    """A0 + sum_k A_k cos(ks) + B_k sin(ks) over the stored harmonics (those
    up to kmax when given)."""
    P = np.zeros((len(s), 3))
    for k, (a, b) in table.items():
        if kmax is not None and k > kmax:
            continue
        P += np.outer(np.cos(k * s), a) + np.outer(np.sin(k * s), b)
    return P


def table_series(table, kmax=None):
    ks = sorted(k for k in table if k > 0 and (kmax is None or k <= kmax))
    return ks, np.array([table[k][0] for k in ks]), np.array([table[k][1] for k in ks])


def polyline(text):
    return np.array([[float(v) for v in line.split()] for line in text.splitlines() if line.strip()])
