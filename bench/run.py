"""make bench: sorvex side by side with naima, agnpy and NumPy/SciPy, in one run on this machine.

Prints one table, ratios first, then the goals. The sections are the modules of bench/sections/
(their order: sections/__init__.py); bench/runner.py times them and prints the table. Accuracy
is the largest relative error against the SciPy references of bench/reference.py over the
frequencies where ν j_ν exceeds 1e-6 of its peak ("err"), and 1e-2 of its peak ("core").

Usage: python bench/run.py [--quick] [--section NAME ...] [--cache-dir DIR]
(make bench BENCH_ARGS="--section model --section fit" runs only those sections)
"""

import runner

if __name__ == "__main__":
    runner.main()
