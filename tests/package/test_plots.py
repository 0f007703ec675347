"""Pictures of the maps: good fits by default, a quality panel, sky axes
whose labels do not overlap; and which spectra get diagnostic pictures."""

from __future__ import annotations

import dataclasses
import subprocess

import numpy as np
import pytest
from astropy.io import fits
from astropy.wcs import WCS
from fits_cubes import REAL_DATA
from matplotlib.backends.backend_agg import FigureCanvasAgg
from processes import COMMAND

import quillet
from quillet.cli import main
from quillet.data.quality import Quality, is_good
from quillet.front.plots import (
    chosen_for_diagnostics,
    plot_maps,
    plot_moments_file,
    quality_categories,
)

VELOCITY = np.arange(-200.0, 200.5, 10.0)
SHAPE = (6, 8)


def tan_wcs(shape, arcsec=0.2):
    """A tangent-plane WCS of MUSE-like 0.2 arcsec pixels, at the place of
    the MUSE cube of tests/data/real, whose right ascensions take long labels."""
    wcs = WCS(naxis=2)
    wcs.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    wcs.wcs.crval = [63.3565, 10.4662]
    wcs.wcs.crpix = [shape[1] / 2, shape[0] / 2]
    wcs.wcs.cdelt = [-arcsec / 3600, arcsec / 3600]
    return wcs


def judged_fit(shape=SHAPE, wcs=None):
    """A fit of lines of every strength, one blank spectrum, and quality
    bits set by hand on a few fits: (LOW_SNR | WIDTH_AT_MIN) at (0, 0),
    LOW_SNR at (0, 1) and (0, 2), REFITTED (no doubt) at (1, 0)."""
    rng = np.random.default_rng(5)
    amplitude = rng.uniform(1.0, 20.0, (*shape, 1))
    data = amplitude * np.exp(-0.5 * ((VELOCITY - rng.uniform(-30, 30, (*shape, 1))) / 25) ** 2)
    data = (data + rng.normal(0.0, 0.5, data.shape)).astype(np.float32)
    data[-1, -1] = np.nan
    fit = quillet.fit_cube(data, VELOCITY, noise=0.5, line_sigma=25.0, progress=False)
    quality = np.zeros(shape, np.uint16)
    quality[0, 0] = Quality.LOW_SNR | Quality.WIDTH_AT_MIN
    quality[0, 1:3] = Quality.LOW_SNR
    quality[1, 0] = Quality.REFITTED
    quality[-1, -1] = Quality.NO_DATA
    return dataclasses.replace(fit, wcs=wcs, quality=quality), data


def test_quality_categories_name_the_most_significant_doubt():
    flag = np.array([0, 0, 0, 0, 1, 2, 1])
    bits = [
        0,
        Quality.REFITTED,
        Quality.LOW_SNR | Quality.WIDTH_AT_MIN,  # LOW_SNR is the higher bit
        Quality.WIDTH_AT_MIN,
        0,
        0,
        Quality.NO_DATA,
    ]
    quality = np.array([int(b) for b in bits], np.uint16)
    codes, labels, colours = quality_categories(flag, quality, is_good(flag, quality))
    named = [labels[c].rsplit(" (", 1)[0] for c in codes]
    assert named == [
        "good", "good", "low snr", "width at min", "no local maximum", "no convergence", "no data"
    ]  # fmt: skip
    assert labels[0] == "good (2)" and len(colours) == len(labels) == 6
    # Only the categories that occur are listed, good always.
    codes, labels, _ = quality_categories(flag[:1], quality[:1], np.array([False]))
    assert labels == ["good (1)"]


def images(figure):
    """The image of each panel and the colour bar beside it, in order."""
    panels = [ax for ax in figure.axes if ax.images and ax.get_label() != "<colorbar>"]
    return [ax.images[0] for ax in panels]


@pytest.mark.parametrize("show", ["good", "all"])
def test_the_maps_draw_and_scale_by_the_good_fits(show):
    fit, _ = judged_fit()
    figure = plot_maps(fit, show=show)
    drawn = fit.good if show == "good" else fit.success
    amplitude, centre, sigma, quality = images(figure)
    for image in (amplitude, centre, sigma):
        np.testing.assert_array_equal(np.ma.getmaskarray(image.get_array()), ~drawn)
    for image, values in ((amplitude, fit.amplitude), (sigma, fit.sigma)):
        np.testing.assert_allclose(image.get_clim(), np.percentile(values[drawn], [1, 99]))
    bar = figure.axes[figure.axes.index(quality.axes) + 1]
    labels = [t.get_text() for t in bar.get_yticklabels()]
    # 48 spectra: one blank, three doubted for their S/N (one also at its
    # width's lower bound, the less significant bit), one refitted and good.
    assert labels == ["good (44)", "low snr (3)", "no data (1)"]


def test_maps_with_no_quality_bits_show_their_flags():
    fit, _ = judged_fit()
    older = dataclasses.replace(fit, quality=None)  # as maps written before the bits
    figure = plot_maps(older)
    amplitude = images(figure)[0]
    np.testing.assert_array_equal(np.ma.getmaskarray(amplitude.get_array()), ~older.success)
    bar = figure.axes[-1]
    assert [t.get_text() for t in bar.get_yticklabels()] == [
        "success", "no local maximum", "no convergence"
    ]  # fmt: skip


def test_sky_tick_labels_do_not_overlap():
    shape = (40, 40)
    fit, _ = judged_fit(shape, tan_wcs(shape))
    figure = plot_maps(fit)
    FigureCanvasAgg(figure).draw()
    sky_axes = [ax for ax in figure.axes if hasattr(ax, "coords")]
    assert len(sky_axes) == 4
    for ax in sky_axes:
        boxes = [b for b in ax._bboxes if b.width and b.height]  # the labels drawn
        assert len(boxes) >= 4  # at least two labels on each axis
        for i, a in enumerate(boxes):
            for b in boxes[i + 1 :]:
                assert not a.overlaps(b), (a, b)


@pytest.mark.parametrize("bit", [Quality.WIDER_THAN_WINDOW, Quality.AMPLITUDE_AT_BOUND])
def test_quality_names_stay_inside_the_picture(bit):
    shape = (30, 40)
    fit, _ = judged_fit(shape, tan_wcs(shape))
    quality = fit.quality.copy()
    quality[2:] |= np.uint16(bit)  # a long name, with a count of four digits
    figure = plot_maps(dataclasses.replace(fit, quality=quality))
    renderer = FigureCanvasAgg(figure).get_renderer()
    figure.draw(renderer)
    bar = figure.axes[-1]
    names = [label for label in bar.get_yticklabels() if label.get_text()]
    assert any(str(bit.name).lower().replace("_", " ") in n.get_text() for n in names)
    for name in names:
        assert name.get_window_extent(renderer).x1 <= figure.bbox.x1, name.get_text()


@pytest.mark.parametrize(
    ("shape", "width", "height", "aspect"),
    [
        (SHAPE, 0.2, 0.2, 1.0),
        ((6, 20), 0.166, 2.0, 2.0 / 0.166),
        ((8, 6), 2.0, 0.5, 0.25),
        (SHAPE, 0.01, 1.0, "auto"),
        # Three raster steps of many slit pixels, and a map a row high:
        # true to size they are slivers, so they are stretched to 4:1.
        ((60, 3), 0.166, 2.0, 4.0 * 3 / 60),
        ((3, 60), 0.2, 0.2, 60 / (3 * 4.0)),
    ],
)
def test_sky_pixels_are_drawn_their_shape_on_the_sky(shape, width, height, aspect):
    # An IRIS raster's steps (2") are twelve of its slit pixels (0.166"):
    # drawn square, its map would be squeezed twelvefold; a pixel a hundred
    # times taller than wide would leave a sliver, so the image fills instead.
    wcs = tan_wcs(shape)
    wcs.wcs.cdelt = [-width / 3600, height / 3600]
    fit, _ = judged_fit(shape, wcs)
    sky_axes = [ax for ax in plot_maps(fit).axes if hasattr(ax, "coords")]
    assert len(sky_axes) == 4
    for ax in sky_axes:
        if aspect == "auto":
            assert ax.get_aspect() == "auto"
        else:
            assert ax.get_aspect() == pytest.approx(aspect, rel=1e-6)


@pytest.mark.parametrize("which", ["failed", "all", "worst", "sample"])
def test_diagnostics_choose_no_blank_spectrum(which):
    fit, data = judged_fit()
    blank = ~np.isfinite(data).any(axis=-1)
    chosen = chosen_for_diagnostics(fit, blank, which, 100)
    flat_blank = np.flatnonzero(blank.reshape(-1))
    assert not np.isin(chosen, flat_blank).any()
    if which == "worst":
        chi2 = fit.reduced_chi2.reshape(-1)[chosen]
        assert (np.diff(chi2) <= 0).all() and chosen.size == int(fit.success.sum())
    if which == "sample":
        few = chosen_for_diagnostics(fit, blank, which, 5)
        assert few.size == 5 and np.array_equal(few, chosen_for_diagnostics(fit, blank, which, 5))
        assert not np.array_equal(few, chosen_for_diagnostics(fit, blank, which, 5, seed=1))
    if which == "all":
        assert chosen.size == data[..., 0].size - 1


@pytest.mark.parametrize(("show", "status"), [("all", 0), ("good", 0), ("some", 2)])
def test_the_plot_command_takes_show(tmp_path, capsys, show, status):
    fit, _ = judged_fit()
    maps = fit.write_fits(tmp_path / "maps.fits")
    picture = tmp_path / "maps.png"
    assert main(["plot", str(maps), "--out", str(picture), "--show", show]) == status
    _, err = capsys.readouterr()
    assert picture.is_file() == (status == 0)
    if status:
        assert "--show" in err and err.count("\n") == 1


def test_a_moments_file_is_drawn_as_its_maps(tmp_path):
    # A new user plots what quillet moments wrote as readily as a fit's maps.
    cube = quillet.read_cube(REAL_DATA / "gildas_hdo_iras2a.fits")
    path = quillet.moments(cube).write_fits(tmp_path / "m.fits")
    figure = plot_moments_file(path)
    drawn = images(figure)
    assert [hasattr(image.axes, "coords") for image in drawn] == [True] * 4  # sky axes
    with fits.open(path) as hdul:
        for image, name in zip(drawn, ["MOMENT0", "MOMENT1", "MOMENT2", "CHANNELS"], strict=True):
            np.testing.assert_array_equal(image.get_array(), hdul[name].data)
    picture = tmp_path / "m.png"
    result = subprocess.run(
        [*COMMAND, "plot", str(path), "--out", str(picture)], capture_output=True, text=True,
        timeout=60,
    )  # fmt: skip
    assert (result.returncode, result.stderr, picture.is_file()) == (0, "", True)


@pytest.mark.parametrize(("sigma", "zoomed"), [(5.0, True), (200.0, False)])
def test_diagnostics_zoom_to_the_window_with_the_whole_spectrum_inset(sigma, zoomed):
    from quillet.front.plots import plot_fit

    v = np.linspace(-1000.0, 1000.0, 400)
    rng = np.random.default_rng(3)
    spectrum = 10 * np.exp(-0.5 * ((v - 100.0) / sigma) ** 2) + rng.normal(0, 0.3, v.size)
    fit = quillet.fit_cube(spectrum.astype(np.float32), v, line_sigma=sigma)
    figure = plot_fit(spectrum, v, fit.at(()))
    top, bottom = figure.axes[:2]
    left, right = v[fit.window[0]], v[fit.window[1] - 1]
    low, high = bottom.get_xlim()
    insets = top.child_axes
    if zoomed:
        span = right - left
        assert low >= left - 0.5 * span and high <= right + 0.5 * span
        assert len(insets) == 1 and insets[0].get_xlim()[0] <= v[0]
        assert top.get_ylim()[1] < 1.3 * spectrum.max()
    else:
        assert low <= v[0] and high >= v[-1] and not insets
