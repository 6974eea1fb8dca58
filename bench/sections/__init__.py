"""The benchmark's sections, in the order of the table. Each is a module of this package with
`run(report, context)`, and `child(context)` if it times in subprocesses (runner.run_child).
Adding a section: one module, and its name in this list."""

SECTIONS = [
    "synchrotron",
    "inverse_compton",
    "fokker_planck",
    "parallel",
    "model",
    "external",
    "fit",
    "scale",
    "gammapy",
    "panel",
    "flare",
]
