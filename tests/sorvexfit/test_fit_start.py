"""Reading the humps of an SED and the physical starting point, against SEDs that the model
itself makes from known parameters, sampled only where real instruments observe, with noise
and gaps; and on the real SEDs of Mrk 421 and PKS 1510-089.

Tolerances, when both humps are seen: peaks within 0.3 dex or twice their stated
uncertainty (the hump shape is read to 0.1-0.2 dex, more across a gap); B within a factor
3.5 and δ within a factor 2 (TMG98's closure turns a 0.2-dex error of ν_c into a factor ~2
in B, B ∝ ν_s²/(ν_c δ) in the Thomson regime and ∝ ν_s δ/ν_c² in the Klein-Nishina one,
while δ ∝ L^(1/4) absorbs more); γ_b within a factor 2; indices within 0.3 (slopes read to
~0.1 beside the peak, p = 3 - 2a doubles it); u_ext within a factor 5 (u' ∝ B²).
"""

from __future__ import annotations

import functools
import math
from pathlib import Path

import numpy as np
import pytest

import sorvexfit
from sorvexfit.fit import read_flux_points
from sorvexfit.fit.data import DataError, FluxPoints
from sorvexfit.fit.observables import read_humps
from sorvexfit.fit.start import start_values, starting_point

DAY = 86400.0
LINE = {"ec": {"fields": ("line",)}}  # these starts are for the single line
DATA = Path(__file__).resolve().parents[2] / "examples" / "data"

# Where instruments observe (Hz), the relative error, and the sensitivity in νF_ν below which
# a band gives an upper limit at that level (0: always detected).
BANDS = {
    "radio": (np.array([5e9, 1.5e10, 4.3e10]), 0.05, 0.0),
    "mm": (np.array([1e11, 2.3e11, 3.5e11, 8.6e11]), 0.08, 0.0),
    "ir": (np.geomspace(1.36e13, 8.8e13, 4), 0.05, 0.0),
    "optuv": (np.geomspace(1.4e14, 1.5e15, 8), 0.05, 0.0),
    "xray": (np.geomspace(7.25e16, 2.42e18, 20), 0.05, 1e-13),  # 0.3-10 keV
    "gev": (np.geomspace(2.42e22, 7.25e25, 8), 0.15, 1e-12),  # 0.1-300 GeV
    "tev": (np.geomspace(2.42e25, 2.42e27, 6), 0.2, 1e-12),  # 0.1-10 TeV
}

# kind, parameters, synchrotron peak νF_ν (sets n_e), the external field.
TRUTHS = {
    "HBL": ("ssc", dict(B=0.05, delta_D=20, t_var=DAY, z=0.03, p1=2.2, p2=4.2, gamma_b=1e5,
                        gamma_min=300, gamma_max=2e6), 3e-10, ""),
    "HBL_compact": ("ssc", dict(B=0.1, delta_D=30, t_var=DAY / 2, z=0.1, p1=2.0, p2=3.8,
                                gamma_b=3e4, gamma_min=100, gamma_max=1e6), 1e-10, ""),
    "IBL": ("ssc", dict(B=0.3, delta_D=15, t_var=DAY, z=0.07, p1=2.1, p2=4.0, gamma_b=8e3,
                        gamma_min=50, gamma_max=3e5), 5e-11, ""),
    "LBL": ("ssc", dict(B=1.0, delta_D=12, t_var=DAY, z=0.2, p1=2.0, p2=4.0, gamma_b=1.5e3,
                        gamma_min=20, gamma_max=5e4), 5e-11, ""),
    # EC on Lyman α from the broad-line region and on the torus's infrared, Γ = δ.
    "FSRQ_blr": ("ec", dict(B=0.8, delta_D=15, t_var=DAY, z=0.5, p1=2.1, p2=3.8, gamma_b=500,
                            gamma_min=10, gamma_max=2e4, nu_ext=15 * 2.47e15, u_ext=0.5),
                 3e-11, "blr"),
    "FSRQ_torus": ("ec", dict(B=0.3, delta_D=20, t_var=DAY, z=0.36, p1=2.1, p2=3.8,
                              gamma_b=2e3, gamma_min=30, gamma_max=1e5, nu_ext=20 * 3e13,
                              u_ext=0.1), 3e-11, "torus"),
}  # fmt: skip

NU = np.geomspace(1e9, 1e28, 761)


@functools.cache
def truth(name: str) -> sorvexfit.BlobModel:
    """The model of a truth, its n_e set for the synchrotron peak νF_ν."""
    kind, values, peak, _ = TRUTHS[name]
    model = sorvexfit.make_model(kind, radius="t_var", **LINE.get(kind, {}))
    model.set(n_e=1.0, **values)
    model.set(n_e=peak / float(np.max(model.components(NU)["syn"])))
    return model


def observe(
    name: str, drop: tuple[str, ...] = (), seed: int = 1, limits: float | None = None
) -> FluxPoints:
    """The truth's SED in the bands not dropped, with 10 % log-normal scatter; `limits`:
    the gamma rays as upper limits at that many times the true flux."""
    rng = np.random.default_rng(seed)
    model = truth(name)
    nu, flux, err, ul, band = [], [], [], [], []
    for name_band, (freqs, rel, sensitivity) in BANDS.items():
        if name_band in drop:
            continue
        true = model.sed(freqs)
        noisy = true * 10.0 ** rng.normal(0.0, 0.04, freqs.size)
        for f, t, n in zip(freqs, true, noisy, strict=True):
            if limits is not None and name_band in ("gev", "tev"):
                value, error = limits * t, math.nan
            elif t < sensitivity:
                value, error = sensitivity, math.nan
            else:
                value, error = n, rel * n
            nu.append(f)
            flux.append(value)
            err.append(error)
            ul.append(math.isnan(error))
            band.append(name_band)
    e = np.array(err)
    z = TRUTHS[name][1]["z"]
    return FluxPoints(
        np.array(nu), np.array(flux), e, e.copy(), np.array(ul), np.array(band), z, name, ""
    )


def true_peaks(name: str) -> tuple[float, float]:
    """log10 ν of the truth's synchrotron and Compton (SSC or EC) peaks."""
    parts = truth(name).components(NU)
    compton = parts["ec"] if "ec" in parts else parts["ssc"]
    return math.log10(NU[np.argmax(parts["syn"])]), math.log10(NU[np.argmax(compton)])


def within(hump: sorvexfit.fit.observables.Hump, log_nu: float) -> bool:
    """The hump's peak lies within 0.3 dex, or twice its stated uncertainty, of log_nu."""
    below, above = hump.log_nu_err
    x = math.log10(hump.nu_peak)
    return x - max(0.3, 2.0 * below) <= log_nu <= x + max(0.3, 2.0 * above)


def start_model(start: sorvexfit.fit.start.StartingPoint) -> sorvexfit.BlobModel:
    model = sorvexfit.make_model(start.kind, radius="t_var", **LINE.get(start.kind, {}))
    model.set(**{name: float(text) for name, text in start_values(start).items()})
    return model


@pytest.mark.parametrize(
    ("name", "drop"),
    [
        ("HBL", ()),
        ("HBL", ("tev",)),
        ("HBL_compact", ()),
        ("HBL_compact", ("ir", "mm")),
        ("IBL", ()),
        ("IBL", ("ir", "mm")),
        ("LBL", ()),
        ("FSRQ_torus", ()),
        ("FSRQ_torus", ("tev",)),
        ("FSRQ_torus", ("xray",)),
    ],
)
def test_start_recovers_the_parameters_of_both_humps(name: str, drop: tuple[str, ...]) -> None:
    kind, values, _, field = TRUTHS[name]
    points = observe(name, drop)
    start = starting_point(points, kind, t_var=values["t_var"])
    humps = start.observables
    assert humps.synchrotron.coverage == humps.compton.coverage == "both"
    for hump, true in zip((humps.synchrotron, humps.compton), true_peaks(name), strict=True):
        assert within(hump, true)
    for parameter, factor in (("B", 3.5), ("delta_D", 2.0), ("gamma_b", 2.0)):
        assert 1 / factor < start[parameter] / values[parameter] < factor, parameter
    for parameter in ("p1", "p2"):
        assert start[parameter] == pytest.approx(values[parameter], abs=0.3), parameter
    if kind == "ec":
        assert start.field == field
        assert 0.2 < start["u_ext"] / values["u_ext"] < 5.0  # u' ∝ B²
    # The start's SED runs through the points the humps were read from: the median over
    # 0.25-dex bins (not over points, which the X-rays outnumber) within 0.25 dex.
    nu, flux = np.array(humps.points).T
    residual = np.log10(np.maximum(start_model(start).sed(nu), 1e-300) / flux)
    bins = np.floor(np.log10(nu) / 0.25)
    per_bin = [np.mean(residual[bins == b]) for b in np.unique(bins)]
    assert np.median(np.abs(per_bin)) < 0.25


@pytest.mark.parametrize(
    ("name", "drop", "hump"),
    [
        ("HBL", ("xray",), "synchrotron"),  # the fall in the gap before the gamma rays
        ("LBL", ("xray",), "compton"),  # the rise in the gap after the ultraviolet
        ("LBL", ("ir", "mm"), "synchrotron"),  # only the optical-UV fall
        ("FSRQ_blr", (), "synchrotron"),  # self-absorbed below its peak, in the millimetre
    ],
)
def test_a_hump_seen_on_one_side_is_flagged_with_a_range_that_holds_the_truth(
    name: str, drop: tuple[str, ...], hump: str
) -> None:
    kind, values, _, _ = TRUTHS[name]
    start = starting_point(observe(name, drop), kind, t_var=values["t_var"])
    assert f"{hump}_one_sided" in start.flags
    assert any(note.startswith(f"{hump} hump: ") for note in start.notes)
    seen = getattr(start.observables, hump)
    below, above = seen.log_nu_err
    unobserved = above if seen.coverage == "rise" else below
    assert unobserved >= 0.5
    assert within(seen, true_peaks(name)[0 if hump == "synchrotron" else 1])
    for parameter, (low, high) in (("B", (1e-3, 100)), ("delta_D", (1, 100))):
        assert low <= start[parameter] <= high


def test_gamma_rays_seen_as_upper_limits_only() -> None:
    points = observe("HBL", limits=3.0)
    start = starting_point(points, "ssc")
    assert {"no_gamma_rays", "no_compton_hump", "delta_assumed"} <= set(start.flags)
    humps = start.observables
    assert not humps.compton.detected
    limits = points.flux[points.is_ul]
    assert limits.min() <= humps.compton.flux_ceiling <= limits.max()
    assert start["delta_D"] == 10.0
    assert math.log10(humps.synchrotron.nu_peak) == pytest.approx(true_peaks("HBL")[0], abs=0.3)
    for parameter in ("p1", "p2"):
        assert start[parameter] == pytest.approx(TRUTHS["HBL"][1][parameter], abs=0.3)
    # B is the least the limits allow: the start's SSC reaches them, without exceeding them.
    ssc = start_model(start).components(points.nu[points.is_ul])["ssc"]
    assert 0.1 < float(np.max(ssc / limits)) < 3.0


def hyperbola(x: np.ndarray, xb: float, w: float, c0: float, a1: float, a2: float) -> np.ndarray:
    r = np.sqrt((x - xb) ** 2 + w * w)
    return np.asarray(c0 + a1 * (x - xb - r) / 2 + a2 * (x - xb + r) / 2)


def sed_points(x: np.ndarray, y: np.ndarray, seed: int = 3) -> FluxPoints:
    flux = 10.0 ** (y + np.random.default_rng(seed).normal(0.0, 0.03, x.size))
    n = x.size
    return FluxPoints(
        10.0**x, flux, 0.05 * flux, 0.05 * flux, np.zeros(n, bool), np.full(n, "x"), 0.05, "", ""
    )


def test_a_band_of_many_points_weighs_as_much_as_its_frequency_range() -> None:
    # Ten telescopes in one optical band, 0.2 dex above the hump (a host galaxy, another
    # epoch): 200 points there pull the hump no more than 4 do.
    def read(n_optical: int) -> sorvexfit.fit.observables.Hump:
        x = np.concatenate(
            [np.linspace(13.2, 13.9, 4), np.linspace(14.2, 14.6, n_optical),
             np.linspace(15.0, 15.4, 3), np.linspace(16.9, 18.4, 10), np.linspace(22.4, 25.8, 8)]
        )  # fmt: skip
        y = hyperbola(x, 15.0, 0.6, -10.0, 0.4, -0.6)
        y[(x > 14.1) & (x < 14.7)] += 0.2
        y[x > 22] = hyperbola(x[x > 22], 24.5, 0.6, -10.5, 0.3, -0.8)
        return read_humps(sed_points(x, y)).synchrotron

    few, many = read(4), read(200)
    assert math.log10(many.flux_peak / few.flux_peak) == pytest.approx(0.0, abs=0.02)
    assert many.slope_rise == pytest.approx(few.slope_rise, abs=0.05)


@pytest.mark.parametrize("disk", [False, True])
def test_the_disk_bump_is_told_from_the_synchrotron(disk: bool) -> None:
    x = np.concatenate([np.linspace(12.3, 15.4, 14), np.linspace(16.9, 18.4, 8),
                        np.linspace(22.4, 25.4, 7)])  # fmt: skip
    nufnu = 10.0 ** hyperbola(x, 13.3, 0.5, -10.8, 0.5, -0.5)
    nufnu += 10.0 ** hyperbola(x, 22.0, 0.8, -10.0, 0.6, -0.6)
    if disk:  # a thermal bump, νF_ν ∝ ν^(4/3) exp(-ν/ν_max), peaking at 2.7e15 Hz
        nu = 10.0**x
        nufnu += 2e-11 * (nu / 2e15) ** (4 / 3) * np.exp(-(nu / 2e15) + 1.0)
    humps = read_humps(sed_points(x, np.log10(nufnu)))
    assert humps.disk_bump is disk
    assert ("disk_bump" in humps.flags) is disk
    if disk:
        assert 1e14 < humps.disk_nu < 3e14
    synchrotron = humps.synchrotron
    assert synchrotron.coverage == "both"
    assert math.log10(synchrotron.nu_peak) == pytest.approx(13.3, abs=0.2)
    assert synchrotron.slope_fall == pytest.approx(-0.5, abs=0.15)


def test_the_split_follows_the_x_rays_to_the_hump_they_belong_to() -> None:
    # An HBL's X-rays fall with the synchrotron, an LBL's rise with the Compton hump.
    x = np.concatenate([np.linspace(13.2, 15.2, 8), np.linspace(16.9, 18.4, 12),
                        np.linspace(22.4, 25.8, 8)])  # fmt: skip
    hbl = np.log10(10.0 ** hyperbola(x, 16.5, 0.5, -9.5, 0.4, -0.6)
                   + 10.0 ** hyperbola(x, 25.0, 0.5, -10.0, 0.3, -0.8))  # fmt: skip
    lbl = np.log10(10.0 ** hyperbola(x, 13.5, 0.5, -10.0, 0.5, -0.5)
                   + 10.0 ** hyperbola(x, 21.0, 0.5, -10.5, 0.4, -0.6))  # fmt: skip
    for y, xray_in in ((hbl, "synchrotron"), (lbl, "compton")):
        humps = read_humps(sed_points(x, y))
        xray = getattr(humps, xray_in).nu_points
        assert xray[0] <= 10**16.9 <= xray[1] or xray[0] <= 10**18.4 <= xray[1]


def test_bad_points_and_arguments_are_named() -> None:
    good = observe("HBL")
    bad = FluxPoints(
        good.nu, -good.flux, good.err_lo, good.err_hi, good.is_ul, good.instrument, 0.03, "", ""
    )
    with pytest.raises(DataError, match="points"):
        read_humps(bad)
    with pytest.raises(DataError, match="radio_cut"):
        read_humps(good, radio_cut=-1.0)
    for argument, value in (("kind", "sync"), ("t_var", 0.0), ("delta_D", 0.5), ("field", "x")):
        with pytest.raises(sorvexfit.ParameterError, match=argument):
            starting_point(good, **{argument: value})  # type: ignore[arg-type]
    with pytest.raises(sorvexfit.ParameterError, match="ec_frame"):
        starting_point(good, "ec", model_options={"ec_frame": "jet"})
    only_gamma = good.select(good.nu > 1e22)
    with pytest.raises(DataError, match="synchrotron"):
        starting_point(only_gamma)


def test_values_for_the_fit_and_an_imposed_doppler_factor() -> None:
    start = starting_point(observe("HBL"), "ssc", delta_D=25.0)
    assert start["delta_D"] == 25.0
    values = start_values(start)
    assert set(values) == {"B", "delta_D", "t_var", "z", "n_e", "p1", "p2", "gamma_b",
                           "gamma_min", "gamma_max"}  # fmt: skip
    assert float(values["B"]) == pytest.approx(start["B"], rel=1e-5)
    assert "R" in start_values(start, radius="R")
    assert "t_var" not in start_values(start, radius="R")
    with pytest.raises(sorvexfit.ParameterError, match="kind"):
        start_values(start, "ec")
    options = sorvexfit.fit.FitOptions(model="ssc", values=tuple(values.items()))
    sorvexfit.fit.run.check_options(options)  # the fit accepts them


def test_an_agn_frame_start_gives_the_same_sed_as_the_blob_frame_one() -> None:
    points = observe("FSRQ_torus")
    blob = starting_point(points, "ec", field="torus")
    agn = starting_point(points, "ec", field="torus", model_options={"ec_frame": "agn"})
    assert agn["nu_ext"] == pytest.approx(3e13)
    model = sorvexfit.make_model(
        "ec", radius="t_var", ec_frame="agn", fields=("line",), doppler="delta_D"
    )
    model.set(**{name: float(text) for name, text in start_values(agn).items()})
    nu = np.geomspace(1e12, 1e26, 40)
    # The start boosts the line into the blob as an isotropic field; the model scatters it
    # with the exact angles, which at δ = Γ differ by the head-on anisotropy (~25 %).
    np.testing.assert_allclose(model.sed(nu), start_model(blob).sed(nu), rtol=0.3)


def test_mrk421_starts_near_the_published_one_zone_model() -> None:
    # Abdo et al. 2011, ApJ 736, 131: t_var 1 d, δ = 21, B = 0.038 G, R = 5.2e16 cm.
    start = starting_point(read_flux_points(DATA / "Mrk421_2011.ecsv"), "ssc")
    humps = start.observables
    assert humps.synchrotron.coverage == humps.compton.coverage == "both"
    assert 1e16 < humps.synchrotron.nu_peak < 3e17
    assert 5e24 < humps.compton.nu_peak < 1e26
    assert 0.5 < start["delta_D"] / 21 < 2
    assert 0.5 < start["B"] / 0.038 < 2
    assert 0.5 < start["R"] / 5.2e16 < 2


def test_pks1510_shows_its_disk_and_both_humps() -> None:
    points = read_flux_points(DATA / "PKS1510-089_low.ecsv")
    start = starting_point(points, "ec", ebl="dominguez")
    humps = start.observables
    assert humps.disk_bump
    assert "disk_bump" in start.flags
    # The synchrotron peaks in the infrared gap, below the disk; the Compton hump between the
    # rising hard X-rays and the falling Fermi-LAT spectrum.
    assert 1e12 < humps.synchrotron.nu_peak < 3e14
    assert 5e19 < humps.compton.nu_peak < 3e22
    assert start.field in ("blr", "torus")
