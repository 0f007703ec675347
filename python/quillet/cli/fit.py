"""``quillet fit``: every spectrum fitted, in this process or on a Dask
cluster, and the maps written, with the run's report (settings, flags,
quality bits) and, if asked, the maps drawn and diagnostic pictures.

Every output is resolved, checked and held before any work
(`quillet.basics.outputs`).
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .cluster import here_or_on_dask
from .files import (
    FITS_SUFFIXES,
    check_picture_format,
    check_some_finite,
    files_read,
    given_noise,
    pixel_image,
    read_named_cube,
)
from .model_options import (
    MODEL_HELP,
    component_quality_table,
    component_table,
    describe_model,
    line_model,
    model_options,
)
from .options import (
    dask_options,
    line_options,
    output_options,
    reading_options,
    setting_options,
    setting_overrides,
    settings_table,
    trust_options,
)
from .usage import UsageError

if TYPE_CHECKING:
    from ..basics.outputs import Output
    from ..basics.settings import LineSettings


EPILOG_FIT = """\
examples:
  quillet fit cube.fits --out maps.fits --rest-wavelength "6562.8 Angstrom" --redshift 0.0858
  quillet fit raster.fits --out maps.fits --guide 10 --line-sigma 40 --continuum edges
  quillet fit cube.fits --out maps.fits --plot maps.png --diagnostics failed/
  quillet fit big.fits --out maps.zarr --scheduler tcp://10.0.0.5:8786 --chunks 64,64

Settings not given are derived from the velocity axis and --line-sigma
(see quillet.LineSettings.for_axis); the command prints them before fitting.
"""


def add_fit(commands: Any) -> None:
    fit = commands.add_parser(
        "fit",
        help="fit every spectrum and write maps",
        description="Fit a Gaussian line to every spectrum of a FITS cube and write the maps "
        "of its parameters to a FITS file or a Zarr store, in this process or on a Dask cluster.",
        epilog=EPILOG_FIT + "\n" + MODEL_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    fit.add_argument("cube", type=Path, metavar="CUBE.fits")
    fit.add_argument(
        "--out",
        type=Path,
        required=True,
        metavar="MAPS.fits|MAPS.zarr",
        help="the maps to write: a FITS file, or a Zarr store (a folder)",
    )
    reading_options(fit)
    line_options(fit)
    trust_options(fit)
    model_options(fit)
    setting_options(fit)
    dask_options(fit)
    output_options(fit)
    fit.set_defaults(run=run_fit)


def _guide(args: argparse.Namespace, spatial: tuple[int, ...]) -> Any:
    if args.guide_map is None:
        return args.guide
    import astropy.units as u
    import numpy as np

    from ..data.fits_files import open_fits

    with open_fits(args.guide_map, "--guide-map") as hdul:
        image = next((h for h in hdul if h.is_image and h.header.get("NAXIS", 0) > 0), None)
        if image is None:
            raise UsageError(f"{args.guide_map} holds no image to read guide velocities from")
        values = np.array(image.data, dtype=np.float64)
        unit_text = image.header.get("BUNIT")
    if tuple(values.shape) != tuple(spatial):
        raise UsageError(
            f"the guide map {args.guide_map} is {values.shape} but the cube has {spatial} spectra; "
            "it needs one guide velocity per spectrum"
        )
    if unit_text:
        try:
            values = (values * u.Unit(unit_text)).to_value(u.km / u.s)
        except (ValueError, u.UnitsError):
            raise UsageError(
                f"the guide map's BUNIT {unit_text!r} is not a velocity; write km/s or m/s"
            ) from None
    return values


@dataclass
class _Outputs:
    """The outputs of a run, resolved and checked before any work, and
    which of them are written so far."""

    maps: Output | None = None
    plot: Output | None = None
    written: list[Output] = field(default_factory=list)

    def wrote(self, output: Output, say: Callable[[str], None]) -> None:
        self.written.append(output)
        say(f"wrote {output.shown}")

    def lost(self) -> str:
        """What a run that fails now leaves written."""
        if not self.written:
            return "no maps were written"
        return f"{' and '.join(o.shown for o in self.written)} written, the rest not"


@contextlib.contextmanager
def _fit_outputs(args: argparse.Namespace) -> Iterator[_Outputs]:
    """The outputs of ``quillet fit``, resolved, checked and held (one run
    per output) before any work."""
    from ..basics.outputs import output_lock, resolve_output

    if args.out.suffix.lower() not in (*FITS_SUFFIXES, ".zarr"):
        raise UsageError(f"--out {args.out}: write the maps to a .fits file or a .zarr store")
    if args.chunks is not None and args.scheduler is None:
        raise UsageError("--chunks sets the blocks of a Dask run: give --scheduler too")
    reads = files_read(args)
    outputs = _Outputs()
    outputs.maps = resolve_output(
        args.out, overwrite=args.overwrite, reads=reads, folder=args.out.suffix.lower() == ".zarr"
    )
    if args.plot is not None:
        check_picture_format(args.plot, "--plot")
        outputs.plot = resolve_output(args.plot, overwrite=args.overwrite, reads=reads)
        if outputs.plot.target == outputs.maps.target:
            raise UsageError(f"--plot {args.plot} is the maps' own file (--out {args.out})")
    if args.diagnostics is not None:
        _check_diagnostics_folder(args.diagnostics, args.overwrite)
    with contextlib.ExitStack() as held:
        for output in (outputs.maps, outputs.plot):
            if output is not None:
                held.enter_context(output_lock(output))
        yield outputs


def _check_diagnostics_folder(folder: Path, overwrite: bool) -> None:
    """Refuses, before the fit, a folder whose pictures the run would meet
    only after the fit, or could not make."""
    from ..front.plots import DIAGNOSTIC_PREFIX

    if folder.exists() and not folder.is_dir():
        raise UsageError(f"--diagnostics {folder} is a file, not a folder; name a folder")
    if not overwrite and folder.is_dir() and any(folder.glob(f"{DIAGNOSTIC_PREFIX}*.png")):
        raise UsageError(
            f"{folder} exists and holds diagnostic pictures ({DIAGNOSTIC_PREFIX}*.png); choose "
            "another folder, or allow replacing them (--overwrite)"
        )
    existing = next(p for p in (folder.absolute(), *folder.absolute().parents) if p.exists())
    if not existing.is_dir() or not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"--diagnostics {folder}: cannot write in {existing}")


def run_fit(args: argparse.Namespace) -> int:
    with _fit_outputs(args) as outputs:
        return here_or_on_dask(
            args, lambda a, chunks: _fit_and_write(a, outputs, chunks), "the fit", outputs.lost
        )


def _fit_and_write(args: argparse.Namespace, outputs: _Outputs, chunks: Any) -> int:
    """The fit and its outputs: in this process (``chunks`` None), or on the
    Dask cluster the default client reaches, whose results stay on its
    workers until they are written."""
    from ..basics.settings import LineSettings
    from ..front.cube_fit import fit_cube

    def say(text: str) -> None:
        if not args.quiet:
            print(text, flush=True)

    assert outputs.maps is not None
    cube = read_named_cube(args, chunks)
    check_some_finite(cube, args.cube)
    if not outputs.maps.folder:
        from ..basics.outputs import check_room
        from ..front.maps_files import maps_bytes

        edges = args.continuum != "none"
        check_room(outputs.maps, maps_bytes(cube.spatial_shape, cube.velocity.size, edges))
    model, components = line_model(args)
    if model is not None and args.refit:
        raise UsageError(
            "--refit: neighbour refits are the Gaussian fit's; a line model's fit judges each "
            "spectrum on its own and has none: leave --refit out"
        )
    if model is not None:
        from ..front.cube_fit import placed_model

        model = placed_model(cube, model, cube.velocity)
    overrides = setting_overrides(args)
    settings = LineSettings.for_axis(cube.velocity, line_sigma=args.line_sigma, **overrides)
    guide = _guide(args, cube.spatial_shape)
    noise = given_noise(args, cube, chunks)
    mask = None if args.mask is None else pixel_image(args.mask, "--mask", cube, chunks)
    velocity = cube.velocity
    shape = " x ".join(map(str, cube.spatial_shape)) or "1"
    say(
        f"{args.cube}: {shape} spectra of {velocity.size} channels, "
        f"{velocity.min():.6g} to {velocity.max():.6g} km/s"
    )
    if chunks is not None:
        blocks = math.prod(len(c) for c in cube.data.chunks)
        say(
            f"on the Dask scheduler {args.scheduler}: {blocks} blocks of up to "
            f"{' x '.join(str(max(c)) for c in cube.data.chunks[:-1]) or '1'} spectra"
        )
    if isinstance(noise, float):
        say(f"noise: constant {noise:g}")
    elif noise is not None:
        say(f"noise: {args.noise}")
    elif cube.noise is not None:
        say(f"noise: {cube.provenance['noise']}")
    else:
        say("noise: estimated from each spectrum (DER_SNR)")
    say(settings_table(settings, set(overrides), args, cube.velocity))
    say(_trust_lines(args, settings, model is not None))
    if model is not None:
        say(describe_model(model, components))

    start = time.perf_counter()
    fit = fit_cube(
        cube,
        noise=noise,
        guide=guide,
        continuum=None if args.continuum == "none" else args.continuum,
        mask=mask,
        settings=settings,
        chunk_rows=args.chunk_rows,
        progress=not args.quiet,
        **_trust_keywords(args),
        **_model_keywords(args, model, components),
    )
    # A Dask fit runs here, block by block, its results kept on the workers.
    fit = fit.persist(progress=not args.quiet)
    elapsed = time.perf_counter() - start
    fit.write(outputs.maps, format="zarr" if outputs.maps.folder else "fits",
              overwrite=args.overwrite)  # fmt: skip
    outputs.wrote(outputs.maps, say)
    if outputs.plot is not None:
        fit.plot_maps(outputs.plot, overwrite=args.overwrite)
        outputs.wrote(outputs.plot, say)
    if args.diagnostics is not None:
        say(_diagnostics(args, fit.compute(), cube, noise))
    say(_flag_table(fit, elapsed))
    say(_quality_table(fit))
    if model is not None:
        say(component_quality_table(fit))
        say(component_table(fit))
    return 0


def _diagnostics(args: argparse.Namespace, fit: Any, cube: Any, noise: Any) -> str:
    """Writes the diagnostic pictures --diagnostics-of asks for; says how
    many, and how many blank spectra (no finite pixel) had none."""
    from ..data.model_results import ModelFit
    from ..front.plots import blank_spectra, write_diagnostics

    blank = blank_spectra(fit, cube.data)
    chosen = {"which": args.diagnostics_of, "limit": args.diagnostics_max,
              "overwrite": args.overwrite, "blank": blank}  # fmt: skip
    if isinstance(fit, ModelFit):
        from ..front.model_plots import write_model_diagnostics

        written = write_model_diagnostics(fit, cube.data, args.diagnostics, **chosen)
    else:
        shared = cube.noise if noise is None else None
        written = write_diagnostics(fit, cube.data, args.diagnostics, noise=shared, **chosen)
    import numpy as np

    plural = "s" if len(written) != 1 else ""
    blanks = int(np.count_nonzero(blank))
    return (
        f"wrote {len(written)} diagnostic picture{plural} ({args.diagnostics_of}) to "
        f"{args.diagnostics}; {blanks} blank spectr{'um' if blanks == 1 else 'a'} "
        "(no finite pixel) drawn in none"
    )


def _flag_table(fit: Any, elapsed: float) -> str:
    counts = fit.flag_counts()
    total = sum(counts.values())
    lines = [f"{'flag':<22} {'count':>10} {'share':>8}"]
    for value, (meaning, count) in enumerate(counts.items()):
        share = 100.0 * count / total if total else 0.0
        lines.append(f"{value} {meaning.replace('_', ' '):<20} {count:>10} {share:>7.1f}%")
    rate = total / elapsed if elapsed > 0 else float("inf")
    lines.append(f"fitted {total} spectra in {elapsed:.3g} s: {rate:,.0f} spectra/s")
    return "\n".join(lines)


def _model_keywords(args: argparse.Namespace, model: Any, components: Any) -> dict[str, Any]:
    """fit_cube's keywords of a line model (none for the Gaussian fit)."""
    if model is None:
        return {}
    return {"model": model, "components": components, "component_order": args.component_order}


def _trust_keywords(args: argparse.Namespace) -> dict[str, Any]:
    """fit_cube's keywords of guides, windows, quality and valid pixels."""
    return {
        "velocity_window": args.velocity_window,
        "adapt_window": not args.fixed_window,
        "window_sigmas": args.window_sigmas,
        "snr_min": args.snr_min,
        "refit_neighbours": args.refit,
        "valid_min": args.valid_min,
        "valid_max": args.valid_max,
    }


def _trust_lines(args: argparse.Namespace, settings: LineSettings, model: bool = False) -> str:
    """How the windows follow the lines, how fits are judged, and which
    pixels count as missing (the guide and line_sigma are in the settings)."""
    window = (
        f"fixed, --npix {settings.npix} channels"
        if args.fixed_window
        else f"follows the line, +-{args.window_sigmas:g} sigma"
    )
    valid = ", ".join(
        f"{word} {value:g}"
        for word, value in (("from", args.valid_min), ("to", args.valid_max))
        if value is not None
    )
    refits = "none (a line model's fit)" if model else "off" if args.refit is False else "on"
    lines = [f"window: {window}; snr_min {args.snr_min:g}; neighbour refits {refits}"]
    if args.mask is not None or valid:
        lines.append(f"bad pixels: mask {args.mask or 'none'}; valid {valid or 'any'}")
    return "\n".join(lines)


#: Share of the spectra with data whose fit found no local maximum above
#: which the run is told it probably sought its lines in the wrong place.
_LOST_SHARE = 0.95


def _quality_table(fit: Any) -> str:
    """Good fits, blank spectra (counted apart), each quality bit's count,
    and what to try when nearly every spectrum with data found no line."""
    import numpy as np

    from ..data.model_results import ModelFit
    from ..data.quality import MODEL_BITS, Quality

    counts = fit.quality_counts()
    model = isinstance(fit, ModelFit)
    total = math.prod(fit.shape)
    blank = counts[str(Quality.NO_DATA.name)]
    good = int(np.count_nonzero(fit.good))
    with_data = total - blank
    share = 100.0 * good / with_data if with_data else 0.0
    lines = [
        f"{'good fits':<22} {good:>10} {share:>7.1f}% of the {with_data} spectra with data"
        + (" (every component kept good)" if model else ""),
        f"{'blank spectra':<22} {blank:>10}",
        f"{'quality bit':<22} {'count':>10}",
    ]
    for bit in Quality:
        if bit == Quality.NO_DATA or (bit & MODEL_BITS and not model):
            continue
        label = f"{int(bit):<3} {str(bit.name).lower()}"
        lines.append(f"{label:<22} {counts[str(bit.name)]:>10}")
    lost = int(np.count_nonzero((np.asarray(fit.flag) == 1) & (np.asarray(fit.quality) & 1 == 0)))
    if with_data and lost >= _LOST_SHARE * with_data:
        lines.append(
            f"no line found in {lost} of the {with_data} spectra with data: give --guide on "
            "the axis, or --velocity-window round the line, and check --rest-wavelength"
        )
    return "\n".join(lines)
