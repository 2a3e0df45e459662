"""Knot and link tables read from the database_knotinfo package."""
import ast
import functools

import database_knotinfo


def _braid(text):
    text = text.strip()
    if not text:
        return None
    if text.startswith('{'):
        # links: "{strands, {g1, g2, ...}}"
        body = text.replace('{', '[').replace('}', ']')
        n, word = ast.literal_eval(body)
        return int(n), [int(g) for g in word]
    word = ast.literal_eval(text)
    if word and isinstance(word[0], list):   # several words listed: the first
        word = word[0]
    word = [int(g) for g in word]
    return max(abs(g) for g in word) + 1, word


def _pd(text):
    text = (text or '').strip()
    if not text:
        return None
    return ast.literal_eval(text.replace('{', '[').replace('}', ']'))


def _float(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


class Entry:
    def __init__(self, name, braid, pd, conway, volume, determinant, components, dt_name=None):
        self.name = name
        self.dt_name = dt_name
        self.strands, self.word = braid if braid else (None, None)
        self.pd = pd
        self.conway = conway
        self.volume = volume
        self.determinant = determinant
        self.components = components

    @property
    def crossings(self):
        n = self.name.lstrip('L')
        digits = ''
        for ch in n:
            if ch.isdigit():
                digits += ch
            else:
                break
        return int(digits)


@functools.lru_cache(None)
def knots():
    out = {}
    for row in database_knotinfo.link_list()[1:]:
        name = row['name']
        out[name] = Entry(name, _braid(row['braid_notation'] or ''),
                          _pd(row['pd_notation']),
                          (row['conway_notation'] or '').strip(),
                          _float(row['volume']),
                          int(row['determinant']) if row['determinant'] else None,
                          1, (row['dt_name'] or '').strip() or None)
    return out


@functools.lru_cache(None)
def links():
    """Proper links by unoriented name, the first listed orientation."""
    out = {}
    for row in database_knotinfo.link_list(proper_links=True)[1:]:
        name = row['name'].split('{')[0]
        if name in out:
            continue
        out[name] = Entry(name, _braid(row['braid_notation'] or ''),
                          _pd(row['pd_notation_vector']),
                          '',
                          _float(row['volume']),
                          int(row['determinant']) if row['determinant'] else None,
                          int(row['components']))
    return out


def version():
    return database_knotinfo.version()


def census_name(entry):
    """Name under which snappy's Hoste-Thistlethwaite census lists a table
    knot or link: K<crossings><a|n><index> from the Dowker-Thistlethwaite
    name.  (Rolfsen's numbering of some 10-crossing knots differs between
    tables, so knots are identified by this name.)"""
    if entry.name.startswith('L'):
        return entry.name
    c, i = entry.dt_name.split('_')
    return 'K' + c + i


def snappy_name(name):
    """Id of a table knot in the records of the 11-crossing databases."""
    if name.startswith('L'):
        return name
    c, rest = name.split('_', 1)
    if c[-1] in 'an':
        return 'K' + c + rest
    if int(c) <= 10:
        return name
    return 'K' + c + rest
