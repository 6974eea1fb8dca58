"""Derives the quadrature rules of the exact radiation kernels from mpmath.

Writes src/core/radiation/exact/quadrature_rules.hpp with the rules that the kernels use, on
[-1, 1]:
  - Gauss-Legendre rules of 3, 4, 6 and 8 points (the non-negative nodes and their weights);
  - Gauss-Kronrod pairs: the Kronrod extension of the n-point Gauss rule has 2n + 1 points and
    is exact for polynomials of degree 3n + 1. Its n + 1 new nodes interlace the Gauss nodes;
    they and all weights are solved from the exactness conditions in 40-digit arithmetic.

Usage: python scripts/derive_quadrature_rules.py [--check]   (--check: compare, do not write)
"""

from __future__ import annotations

import argparse
import itertools
import sys
from pathlib import Path

import mpmath as mp
from generated_header import clang_format

ROOT = Path(__file__).resolve().parents[1]
HEADER = ROOT / "src/core/radiation/exact/quadrature_rules.hpp"
GAUSS_POINTS = (3, 4, 6, 8)
KRONROD_PAIRS = (3,)  # Gauss points n of the pairs G_n / K_{2n+1}


def gauss_legendre(n: int) -> tuple[list[mp.mpf], list[mp.mpf]]:
    """Non-negative nodes (ascending) and weights of the n-point Gauss-Legendre rule."""
    nodes = []
    for k in range(n):
        guess = mp.cos(mp.pi * (k + mp.mpf(3) / 4) / (n + mp.mpf(1) / 2))
        nodes.append(mp.findroot(lambda x: mp.legendre(n, x), guess))
    nodes = sorted(x for x in nodes if x > -(mp.mpf(10) ** -30))
    nodes = [mp.mpf(0) if abs(x) < mp.mpf(10) ** -30 else x for x in nodes]
    weights = [2 / ((1 - x * x) * mp.diff(lambda t: mp.legendre(n, t), x) ** 2) for x in nodes]
    return nodes, weights


def kronrod(n: int) -> tuple[list[mp.mpf], list[mp.mpf], list[mp.mpf]]:
    """The Kronrod extension of the n-point Gauss rule: all non-negative nodes (ascending), the
    Kronrod weights of those nodes, and the Gauss weights (0 at the new nodes)."""
    g_nodes, g_weights = gauss_legendre(n)
    # New nodes: one between each pair of neighbouring Gauss nodes and one beyond the largest.
    below = [-x for x in reversed(g_nodes) if x > 0]
    ends = [mp.mpf(-1), *below, *g_nodes, mp.mpf(1)]
    guesses = [(a + b) / 2 for a, b in itertools.pairwise(ends)]
    new = [x for x in guesses if x > mp.mpf(10) ** -30]
    zero_new = any(abs(x) < mp.mpf(10) ** -30 for x in guesses)
    if zero_new:
        new = [mp.mpf(0), *new]
    fixed = list(g_nodes)
    m_new = len([x for x in new if x != 0])  # free node positions
    nodes_guess = fixed + new

    def unknowns_to_rule(values):
        positions = fixed + ([mp.mpf(0)] if zero_new else []) + list(values[:m_new])
        return positions, list(values[m_new:])

    count = m_new + len(nodes_guess)

    def conditions(*values):
        positions, weights = unknowns_to_rule(values)
        out = []
        for degree in range(0, 2 * count, 2):
            total = mp.mpf(0)
            for x, w in zip(positions, weights, strict=True):
                term = x**degree if degree else mp.mpf(1)
                total += w * term * (1 if x == 0 else 2)
            out.append(total - mp.mpf(2) / (degree + 1))
        return out

    start = [x for x in new if x != 0] + [mp.mpf(1) / (2 * n + 1)] * len(nodes_guess)
    solution = list(mp.findroot(conditions, start))
    positions, weights = unknowns_to_rule(solution)
    order = sorted(range(len(positions)), key=lambda i: positions[i])
    gauss_weight = dict(zip([str(x) for x in g_nodes], g_weights, strict=True))
    nodes = [positions[i] for i in order]
    k_weights = [weights[i] for i in order]
    g_of_node = [gauss_weight.get(str(x), mp.mpf(0)) for x in nodes]
    return nodes, k_weights, g_of_node


def check_exactness(nodes, weights, degree: int) -> None:
    """The symmetric rule integrates x^d exactly for every even d <= degree."""
    for d in range(0, degree + 1, 2):
        total = mp.fsum(
            w * (x**d if d else 1) * (1 if x == 0 else 2)
            for x, w in zip(nodes, weights, strict=True)
        )
        assert abs(total - mp.mpf(2) / (d + 1)) < mp.mpf(10) ** -30, (d, total)


def render() -> str:
    mp.mp.dps = 40

    def values(xs) -> str:
        return ", ".join(repr(float(x)) for x in xs)

    def full(nodes, *weight_lists):
        """The whole symmetric rule, nodes ascending over [-1, 1]."""
        negative = [(-x, *ws) for x, *ws in zip(nodes, *weight_lists, strict=True) if x != 0]
        positive = list(zip(nodes, *weight_lists, strict=True))
        return [list(column) for column in zip(*reversed(negative), *positive, strict=True)]

    parts = []
    for n in GAUSS_POINTS:
        nodes, weights = gauss_legendre(n)
        check_exactness(nodes, weights, 2 * n - 1)
        nodes, weights = full(nodes, weights)
        parts.append(
            f"template <>\nstruct GaussLegendre<{n}> {{\n"
            f"    static constexpr std::array<double, {len(nodes)}> nodes{{{values(nodes)}}};\n"
            f"    static constexpr std::array<double, {len(nodes)}> weights{{{values(weights)}}};\n"
            f"}};\n"
        )
    for n in KRONROD_PAIRS:
        nodes, k_weights, g_weights = kronrod(n)
        check_exactness(nodes, k_weights, 3 * n + 1)
        nodes, k_weights, g_weights = full(nodes, k_weights, g_weights)
        size = len(nodes)
        parts.append(
            f"template <>\nstruct GaussKronrod<{n}> {{\n"
            f"    static constexpr std::array<double, {size}> nodes{{{values(nodes)}}};\n"
            f"    static constexpr std::array<double, {size}> kronrod{{{values(k_weights)}}};\n"
            f"    static constexpr std::array<double, {size}> gauss{{{values(g_weights)}}};\n"
            f"}};\n"
        )
    body = "\n".join(parts)
    return f"""\
// Generated by scripts/derive_quadrature_rules.py from mpmath (40 digits); do not edit.
// Rules on [-1, 1]: nodes in ascending order and their weights.
#pragma once

#include <array>

namespace sorvex::exact::rules {{

/// Gauss-Legendre rule of N points, exact for polynomials of degree 2N - 1.
template <int N>
struct GaussLegendre;

/// Gauss rule of N points and its Kronrod extension of 2N + 1 points (exact to degree 3N + 1);
/// `gauss` holds the Gauss weights, 0 at the Kronrod nodes.
template <int N>
struct GaussKronrod;

{body}
}} // namespace sorvex::exact::rules
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare with the committed header")
    args = parser.parse_args()
    text = clang_format(render(), HEADER)
    if args.check:
        if HEADER.read_text() != text:
            print(f"{HEADER.relative_to(ROOT)} differs from the derived rules", file=sys.stderr)
            return 1
        print("quadrature rules match")
        return 0
    HEADER.parent.mkdir(parents=True, exist_ok=True)
    HEADER.write_text(text)
    print(f"wrote {HEADER.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
