"""Curves that the child interpreters of the interrupt tests build: the
text of their definitions, put into each child's script after the imports
(numpy as np, _bindings as qb)."""
import textwrap

CURVES = textwrap.dedent(
    """
    def ring(n, r=1.0):
        s = np.arange(n) * (2 * np.pi / n)
        return np.stack([r * np.cos(s), r * np.sin(s), 0.1 * np.sin(3 * s)], axis=1)

    def trefoil(n):
        t = np.arange(n) * (2 * np.pi / n)
        return np.stack([np.sin(t) + 2 * np.sin(2 * t), np.cos(t) - 2 * np.cos(2 * t), -np.sin(3 * t)], 1)

    def big_block(k):
        # a closed curve with k harmonics of falling size
        c = (1.0 / np.arange(1, k + 1) ** 2).tolist()
        b = qb.FourierBlock()
        b.a_x, b.b_x, b.a_y, b.b_y, b.a_z, b.b_z = c, [0.0] * k, [0.0] * k, c, c, [0.0] * k
        return b

    """
)
