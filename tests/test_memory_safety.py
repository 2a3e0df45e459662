"""Views of list elements outlive changes of the owner's list.

Reading `fourier_knot.blocks` or `IdealABBlock.components` gives views of
the owner's elements; once the owner's list is replaced, shrunk or grown, a
view it handed out keeps the element's last values and is then detached from
the owner. Each scenario runs in a child interpreter (a fault would end it),
which in the sanitizer run is checked by AddressSanitizer too."""
import subprocess
import sys
import textwrap

import pytest

PRELUDE = r"""
import gc, sys
import _bindings as qb

def rows(n, scale):
    return "\n".join(" ".join(str(scale * (k + 1) + j) for j in range(6)) for k in range(n)) + "\n"

small = sys.argv[1] + "/small.fseries"
big = sys.argv[1] + "/big.fseries"
with open(small, "w") as f:
    f.write("% first\n" + rows(2, 10) + "% second\n" + rows(3, 100))
with open(big, "w") as f:
    f.write("".join("% block\n" + rows(40, 1000 * (i + 1)) for i in range(50)))

def churn():
    # Reuse of freed storage shows up as changed values, not only under a sanitizer.
    junk = [qb.parse_fseries_from_string(rows(40, 7)) for _ in range(20)]
    gc.collect()
    return junk

RECORD = ('<AB Id="x"><Component I="1"><Coeff I="1" A="1, 2, 3" B="4, 5, 6" /></Component>'
          '<Component I="2"><Coeff I="0" A="7, 8, 9" B="0, 0, 0" /><Coeff I="2" A="1, 1, 1" B="2, 2, 2" /></Component></AB>')
"""

SCENARIOS = {
    "blocks_reloaded_from_a_file_of_more_blocks": r"""
k = qb.fourier_knot()
k.loadBlocks(small)
b = k.blocks[1]
b.b_z = [-1.0, -2.0, -3.0]          # a view: the owner sees the change
assert k.blocks[1].b_z == [-1.0, -2.0, -3.0]
k.loadBlocks(big)
junk = churn()
assert len(k.blocks) == 50
assert b.a_x == [100.0, 200.0, 300.0] and b.b_z == [-1.0, -2.0, -3.0]
b.a_x = [5.0]                       # detached: the owner keeps its new blocks
assert k.blocks[1].a_x[0] == 2000.0 and len(k.blocks[1].a_x) == 40
""",
    "blocks_assigned_an_empty_list": r"""
k = qb.fourier_knot()
k.loadBlocks(small)
first, second = k.blocks
k.blocks = []
junk = churn()
assert first.a_x == [10.0, 20.0] and second.a_y == [102.0, 202.0, 302.0]
assert k.blocks == []
""",
    "blocks_shrunk_and_grown_and_owner_gone": r"""
k = qb.fourier_knot()
k.loadBlocks(big)
views = k.blocks
last = views[-1]
k.blocks = views[:2]                # copies of two elements
k.blocks = k.blocks + [qb.FourierBlock() for _ in range(500)]
del k, views
junk = churn()
assert last.a_x[:2] == [50000.0, 100000.0] and len(last.a_x) == 40
""",
    "blocks_after_a_failed_load": r"""
k = qb.fourier_knot()
k.loadBlocks(small)
b = k.blocks[0]
try:
    k.loadBlocks(sys.argv[1] + "/missing.fseries")
except RuntimeError:
    pass
junk = churn()
assert k.blocks == [] and b.a_x == [10.0, 20.0]
""",
    "components_replaced": r"""
(ab,) = qb.parse_ideal_txt_from_string(RECORD)
c0, c1 = ab.components
f1 = c1.fourier                     # a view into an element's field
c0.component_index = 11
assert ab.components[0].component_index == 11
ab.components = []
junk = churn()
assert (c0.component_index, c0.fourier.a_x, c0.fourier.b_z) == (11, [1.0], [6.0])
assert c1.A0 == [7.0, 8.0, 9.0] and f1.a_x == [0.0, 1.0] and f1.b_y == [0.0, 2.0]
assert ab.components == []
""",
    "components_of_a_freed_record": r"""
recs = qb.parse_ideal_txt_from_string(RECORD * 3)
c = recs[2].components[1]
f = recs[0].components[0].fourier
del recs
junk = churn()
assert c.component_index == 2 and c.fourier.a_z == [0.0, 1.0] and f.a_y == [2.0]
""",
}


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_old_element_view_reads_last_values(name, tmp_path):
    code = PRELUDE + textwrap.dedent(SCENARIOS[name]) + "\nprint('ok')\n"
    proc = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout.strip() == "ok"
