"""Calls of every registered function and method with hostile arguments.

Run as a script in a child interpreter: ``python hostile_calls.py START STOP``
makes the calls of the callables START..STOP-1 (in the order of
``list_bindings()``, functions first, then the methods, constructors and
attributes of each class) and prints one line before each call, so that a
crash or a hang can be traced to the call that caused it. Each call must
return or raise an ordinary Python exception; SystemError (an exception set
without a failure reported, or the reverse) counts as a fault.

Argument kinds are read off the signatures that the module documents. For
every callable a baseline of valid-looking arguments is searched first (the
first combination of candidate values that returns without an exception);
then each argument position in turn gets each hostile value of its kind
while the others keep their baseline values.
"""
import itertools
import math
import os
import pathlib
import re
import shutil
import sys
import tempfile

import numpy as np

import _bindings as qb

NAN = math.nan
INF = math.inf

# ---------------------------------------------------------------------------
# Signatures


def split_top(text, sep=","):
    """Split at separators outside brackets and quotes."""
    parts, depth, cur, quote = [], 0, [], None
    for ch in text:
        if quote:
            cur.append(ch)
            if ch == quote:
                quote = None
            continue
        if ch in "\"'":
            quote = ch
        elif ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        elif ch == sep and depth == 0:
            parts.append("".join(cur).strip())
            cur = []
            continue
        cur.append(ch)
    if "".join(cur).strip():
        parts.append("".join(cur).strip())
    return parts


def signatures(name, doc):
    """Argument lists [(name, type, has_default)] of each documented overload."""
    out = []
    for line in (doc or "").split("\n"):
        line = line.strip()
        m = re.match(r"^(?:\d+\. )?" + re.escape(name) + r"\((.*)\) -> .*$", line)
        if not m:
            continue
        args = []
        for a in split_top(m.group(1)):
            if a in ("*", "/") or a.startswith("*"):
                continue
            default = " = " in a
            a = a.split(" = ")[0]
            an, _, at = a.partition(": ")
            args.append((an, at, default))
        out.append(args)
    return out


def kind_of(t):
    t = t.strip()
    if t.startswith("_bindings.") and "[" not in t:
        return ("instance", t.split(".", 1)[1])
    if re.match(r"^collections\.abc\.Sequence\[_bindings\.(\w+)\]$", t):
        return ("instances", re.match(r"^collections\.abc\.Sequence\[_bindings\.(\w+)\]$", t).group(1))
    if "FixedSize(3)" in t and t.count("Sequence") >= 2:
        if t.startswith("typing.Annotated[collections.abc.Sequence[typing.Annotated"):
            return ("vec3x3", None)
        return ("points", None)
    if "FixedSize(3)" in t and "SupportsInt" in t:
        return ("shape3", None)
    if "FixedSize(3)" in t:
        return ("vec3", None)
    if t.count("Sequence") >= 2:
        return ("rows", None)
    if t == "collections.abc.Sequence[str]" or (t.startswith("collections.abc.Sequence[") and "PathLike" in t):
        return ("strs", None)
    if t.startswith("collections.abc.Sequence[") or t.startswith("list["):
        return ("floats", None)
    if "ndarray" in t or "ArrayLike" in t:
        return ("array", None)
    if "SupportsInt" in t:
        return ("int", None)
    if "SupportsFloat" in t:
        return ("float", None)
    if "PathLike" in t:
        return ("path", None)
    if t == "str":
        return ("str", None)
    if t == "bool":
        return ("bool", None)
    return ("object", None)


# ---------------------------------------------------------------------------
# Values

WORK = tempfile.mkdtemp(prefix="hostile_")
FSERIES = os.path.join(WORK, "knot.3_1.fseries")
with open(FSERIES, "w") as f:
    f.write(qb.get_embedded_knot_files()["3_1"])
IDEAL = os.path.join(WORK, "ideal.txt")
with open(IDEAL, "w") as f:
    text = qb.load_embedded_ideal_text("ideal.txt")
    end = text.find("</AB>")
    f.write(text[: end + 5] + "\n" if end >= 0 else text)
IDEAL_TEXT = open(IDEAL).read()
SUBDIR = os.path.join(WORK, "dir")
os.mkdir(SUBDIR)
# Special files that a reader must refuse at once (a read would wait for a
# writer, or never end).
FIFO = os.path.join(WORK, "fifo.fseries")
os.mkfifo(FIFO)
with open(os.path.join(SUBDIR, "knot.3_1.fseries"), "w") as f:
    f.write(qb.get_embedded_knot_files()["3_1"])
os.environ["QEL_IDEAL_DATABASE"] = IDEAL
os.environ["QEL_KNOT_DATA_DIR"] = WORK
os.chdir(WORK)

_s = np.linspace(0.0, 2 * np.pi, 6, endpoint=False)
RING = [[float(np.cos(a)), float(np.sin(a)), 0.1 * float(np.sin(3 * a))] for a in _s]


def block():
    b = qb.FourierBlock()
    b.a_x, b.b_x, b.a_y, b.b_y, b.a_z, b.b_z = [1.0, 0.1], [0.0, 0.2], [0.0, 0.1], [1.0, 0.0], [0.0, 0.3], [0.0, 0.1]
    return b


def ragged_block():
    b = qb.FourierBlock()
    b.a_x = [1.0, 2.0, 3.0]
    b.b_y = [1.0]
    return b


def candidates(kind, cls=None):
    """Valid-looking values of a kind, the first being the preferred one."""
    if kind == "float":
        return [0.5, 1.0, 1e-3]
    if kind == "int":
        return [3, 1, 0]
    if kind == "bool":
        return [False, True]
    if kind in ("str", "path"):
        return [FSERIES, "3_1", "3:1:1", "ideal.txt", SUBDIR, IDEAL, IDEAL_TEXT]
    if kind == "strs":
        return [[FSERIES]]
    if kind == "vec3":
        return [[0.1, 0.2, 0.3]]
    if kind == "shape3":
        return [[3, 2, 1], [2, 2, 2]]
    if kind == "vec3x3":
        return [[[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]]
    if kind == "points":
        return [RING]
    if kind == "floats":
        return [list(np.linspace(0.1, 1.0, 6)), [1.0, 0.0, 0.0, 1.0, 0.0, 0.0]]
    if kind == "rows":
        return [[[0.0, 0.0, 0.0, 0.0, 0.0, 0.0], [1.0, 0.0, 0.0, 1.0, 0.0, 0.0]], [list(r) for r in RING]]
    if kind == "array":
        return [np.array(RING), np.linspace(0.1, 1.0, 6), np.ones((3, 3, 3, 3)), np.ones((4, 4, 4)), np.ones((6, 6))]
    if kind == "instance":
        return [v for v in instances_of(cls)]
    if kind == "instances":
        return [[v] for v in instances_of(cls)][:1] + [[]]
    return [RING, np.array(RING), 1.0, "3_1"]


def hostile(kind, cls=None):
    if kind == "float":
        return [NAN, INF, -INF, 1e308, -1e308, 0.0, -0.0, "1.0", None]
    if kind == "int":
        return [-1, 0, 1, 2**31, 2**63, -(2**31) - 1, -(2**63), 1.5, None, "3"]
    if kind == "bool":
        return [None, "x"]
    if kind == "str":
        return ["", "\0", b"bytes", os.path.join(WORK, "missing", "x"), SUBDIR, WORK + "/", FIFO, "/dev/zero", 5, None]
    if kind == "path":
        # Names as open() takes them, undecodable ones included.
        return hostile("str") + ["k\udcff", b"k\xff", pathlib.Path(FSERIES), pathlib.Path(FIFO)]
    if kind == "strs":
        return [[], [""], [SUBDIR], [os.path.join(WORK, "missing")], [b"x"], [FIFO, "/dev/zero"], ["\0"], 5]
    if kind == "shape3":
        return [[], [-1, 2, 2], [0, 0, 0], [2**31, 1, 1], [2**20, 2**20, 2**20], [2**21, 2**21, 2**22], [-(2**21), 2**21, 2**22], [1, 2], None]
    if kind == "vec3":
        return [[], [NAN, INF, -INF], [1.0, 2.0], [1.0, 2.0, 3.0, 4.0], "abc", None]
    if kind == "vec3x3":
        return [[], [[NAN] * 3] * 3, [[1.0, 2.0]] * 3, [[0.0] * 3] * 2, None]
    if kind == "points":
        return [[], [[0.0, 0.0, 0.0]], [[NAN, INF, -INF]] * 4, [[0.0, 0.0, 0.0]] * 6, [[1.0, 2.0], [3.0, 4.0, 5.0]],
                [[1.0, 2.0, 3.0, 4.0]] * 3, [[1e308, -1e308, 1e308]] * 5, 5, None, "abc"]
    if kind == "floats":
        return [[], [NAN], [INF, -INF], [1.0], [1e308] * 6, "abc", [None], None]
    if kind == "rows":
        return [[], [[]], [[1.0, 2.0, 3.0]], [[NAN] * 6], [[1.0] * 6, [1.0] * 5], [[1.0] * 7], 5, None]
    if kind == "array":
        return [np.empty((0, 3)), np.zeros((1, 3)), np.full((6, 3), NAN), np.full((6, 3), INF), np.zeros((6, 2)),
                np.zeros((2, 2, 2)), np.zeros(5), np.zeros(0), np.zeros((12, 3))[::2], np.arange(18).reshape(6, 3),
                np.array(["a", "b"]), "abc", None, [[1.0, 2.0], [3.0]]]
    if kind == "instance":
        return [None, 5, "x"]
    if kind == "instances":
        return [[], [None], 5, None]
    return [None, 5, "abc", [], [[0.0, 0.0]], np.zeros((2, 2)), [[NAN, NAN, NAN]] * 3]


# Arguments that count steps of work (time steps, relaxation iterations)
# rather than points, samples or nodes.
ITERATION_COUNTS = {"steps", "iterations", "max_iter", "n_steps"}

_instance_cache = {}


def instances_of(cls):
    """A few instances of a registered class, made by its constructor or by
    the functions that return it."""
    if cls in _instance_cache:
        return _instance_cache[cls]
    made = []
    if cls == "FourierBlock":
        made = [block(), ragged_block(), qb.FourierBlock()]
    elif cls == "IdealABBlock":
        made = list(qb.parse_ideal_txt_from_string(open(IDEAL).read())[:1]) + [qb.IdealABBlock()]
    elif cls == "IdealABComponent":
        recs = qb.parse_ideal_txt_from_string(open(IDEAL).read())
        made = ([recs[0].components[0]] if recs and recs[0].components else []) + [qb.IdealABComponent()]
    elif cls == "fourier_knot":
        k = qb.fourier_knot()
        k.loadBlocks(FSERIES)
        k.selectMaxHarmonics()
        made = [k, qb.fourier_knot()]
    elif cls == "LoadedKnot":
        made = list(qb.load_all_knots([FSERIES], 8))
    elif cls == "DensityRegime":
        made = [qb.DensityRegime(1), qb.DensityRegime(0)]
    else:
        C = getattr(qb, cls, None)
        init = C.__dict__.get("__init__") if C is not None else None
        for args in signatures("__init__", getattr(init, "__doc__", "")):
            args = [a for a in args if a[0] != "self"]
            found = baseline(C, args, limit=32)
            if found is not None:
                try:
                    made.append(C(*found))
                except Exception:
                    pass
    _instance_cache[cls] = made
    return made


def baseline(fn, args, limit=64):
    """First combination of candidate values for which fn returns."""
    pools = [candidates(*kind_of(t)) or [None] for _, t, _ in args]
    first = None
    # Same-position candidates first (all preferred values, then all second
    # choices, ...), then the product of the candidate lists.
    diagonal = [[pool[min(i, len(pool) - 1)] for pool in pools] for i in range(max(map(len, pools), default=1))]
    for combo in itertools.chain(diagonal, itertools.islice(itertools.product(*pools), limit)):
        combo = list(combo)
        if first is None:
            first = combo
        try:
            fn(*combo)
            return combo
        except Exception:
            continue
    return first


# ---------------------------------------------------------------------------
# The callables


def callables():
    """(label, callable, argument lists) in a fixed order."""
    out = []
    names = qb.list_bindings()
    for n in names["functions"]:
        f = getattr(qb, n)
        out.append((n, f, signatures(n, f.__doc__)))
    for c in names["classes"]:
        C = getattr(qb, c)
        for k, v in C.__dict__.items():
            if k.startswith("_") and k != "__init__":
                continue
            if isinstance(v, property):
                out.append((c + "." + k, ("property", c, k), []))
                continue
            member = getattr(C, k)
            doc = getattr(member, "__doc__", "") or ""
            if k == "__init__":
                sigs = [[a for a in s if a[0] != "self"] for s in signatures("__init__", doc)]
                if sigs:
                    out.append((c + "()", C, sigs))
                continue
            sigs = signatures(k, doc)
            if not sigs:
                continue
            if sigs[0] and sigs[0][0][0] == "self":
                out.append((c + "." + k, ("method", c, k), [s[1:] for s in sigs]))
            else:
                out.append((c + "." + k, member, sigs))
    return out


PROPERTY_HOSTILE = {
    float: hostile("float"),
    int: hostile("int"),
    str: hostile("str"),
}


def property_values(current):
    if isinstance(current, bool):
        return [None, "x"]
    if isinstance(current, (float, int, str)):
        return PROPERTY_HOSTILE[type(current)]
    if isinstance(current, list):
        if current and isinstance(current[0], list):
            return hostile("points")
        if len(current) == 3 and all(isinstance(x, float) for x in current):
            return hostile("vec3")
        return hostile("floats") + [[qb.FourierBlock()], [None]]
    return [None, 5, qb.FourierBlock()]


def run(label, target, sigs):
    def call(fn, args):
        print("CALL", label, _short(args), flush=True)
        try:
            fn(*args)
        except SystemError:
            raise
        except Exception:
            pass

    if isinstance(target, tuple) and target[0] == "property":
        for obj in instances_of(target[1]) or []:
            try:
                current = getattr(obj, target[2])
            except Exception:
                continue
            for v in property_values(current):
                print("SET", label, _short([v]), flush=True)
                try:
                    setattr(obj, target[2], v)
                except (AttributeError, TypeError, ValueError):
                    pass
                getattr(obj, target[2])
        return
    if isinstance(target, tuple) and target[0] == "method":
        objs = instances_of(target[1])
        fns = [getattr(o, target[2]) for o in objs[:1]]
    else:
        fns = [target]
    for fn in fns:
        for args in sigs:
            base = baseline(fn, args)
            if base is None:
                base = []
            call(fn, base)
            for i, (an, t, _) in enumerate(args):
                values = hostile(*kind_of(t))
                if an in ITERATION_COUNTS:
                    # A request for that many steps of work, not a size:
                    # huge values would only run for that long.
                    values = [v for v in values if v not in (2**31, 2**63)]
                for v in values:
                    trial = list(base)
                    trial[i] = v
                    call(fn, trial)
            # Too few and too many arguments.
            call(fn, base[:-1])
            call(fn, base + [1.0])


def _short(args):
    text = repr(args)
    return text if len(text) < 160 else text[:157] + "..."


def main(argv):
    try:
        items = callables()
        if argv[1:2] == ["count"]:
            print(len(items))
            return
        start, stop = int(argv[1]), int(argv[2])
        for label, target, sigs in items[start:stop]:
            run(label, target, sigs)
        print("DONE", flush=True)
    finally:
        # The working directory of the calls goes with the run.
        os.chdir(os.path.dirname(WORK))
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv)
