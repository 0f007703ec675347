"""The line-model options of ``quillet fit``: their group, the words they
take read into values (the small grammar of ``--model`` among them), the
`LineModel` those values make (built by `quillet.data.line_models`:
`model_for` for each term, summed, and `LineModel.with_amplitude_ratios` for
--ratios), and the model's lines in the run's report.
"""

from __future__ import annotations

import argparse
import math
import re
from typing import Any

from .usage import UsageError

#: The most free components ``--components auto`` tries unless
#: ``--max-components`` says.
AUTO_COMPONENTS = 3

#: How ``--component-order`` may order free components.
ORDER_CHOICES = ("velocity", "width")

#: The kinds of term of ``--model``, and the bounds each term may carry.
MODEL_KINDS = ("gaussian", "lines", "hyperfine")
BOUND_KEYS = ("amplitude", "velocity", "sigma")

MODEL_HELP = """line models (--model TERM [+ TERM ...]):
  Each term is a kind and its bounds, the terms summed into one model:
    gaussian   one free Gaussian
    lines      the multiplet of --lines (one velocity and one width unless
               --free-velocity, --free-width; amplitudes tied by --ratios)
    hyperfine  the hyperfine group of --hyperfine
  A bound is KEY=LO,HI, either end left empty for none:
    velocity=LO,HI   each line's own velocity, km/s
    sigma=LO,HI      the width (sigma), km/s
    amplitude=LO,HI  the amplitude, in the data's unit (after --continuum)
  and a gaussian term may be named: name=broad. A bound on a term binds
  every line of it. Velocity and sigma bounds are intersected with the
  settings' own (sigma within --width-min, --width-max; a velocity within
  --velocity-range of the line found); an amplitude bound replaces the
  default on its side (0 below, --amplitude-rel-max times the peak above);
  a start outside them is clamped. --baseline is the sum's.
  The lines are placed by their rest values against the cube's
  (--rest-wavelength), in any order; the peak search finds the line nearest
  it, which must lie within 500 km/s of it.

  quillet fit cube.fits --out maps.fits --rest-wavelength "6562.8 Angstrom" \\
      --lines "6548.05,6562.80,6583.45 Angstrom" --ratios=1,-,3.05 \\
      --model "lines sigma=20,300 velocity=-500,500 + gaussian sigma=300,3000 name=broad"
"""


def model_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "line model (default: one Gaussian, as without these options)"
    )
    group.add_argument(
        "--model",
        metavar="TERM[+TERM...]",
        help="the model as a sum of terms, each 'gaussian', 'lines' or 'hyperfine' with "
        "bounds KEY=LO,HI (see 'line models' below); default: lines with --lines, "
        "hyperfine with --hyperfine, else free Gaussians (--components)",
    )
    group.add_argument(
        "--lines",
        metavar="REST[,REST...]",
        help="rest wavelengths or frequencies with a unit, in any order, e.g. "
        "'6548.05,6562.8,6583.45 Angstrom'; the one nearest the cube's rest value is the "
        "line the peak search finds",
    )
    group.add_argument(
        "--ratios",
        metavar="R,R...",
        help="fixed amplitude ratios of the lines, one per line in the order of --lines, "
        "'-' for a free one (default: all free)",
    )
    group.add_argument(
        "--free-velocity", action="store_true", help="each line its own velocity (default: one)"
    )
    group.add_argument(
        "--free-width", action="store_true", help="each line its own width (default: one)"
    )
    group.add_argument("--hyperfine", metavar="NAME", help="a hyperfine group, e.g. 'HCN 1-0'")
    group.add_argument(
        "--components",
        metavar="N|auto",
        help="free Gaussians: N, or auto (0, the baseline alone, to --max-components, chosen "
        "per spectrum by the BIC with a margin of 10)",
    )
    group.add_argument(
        "--max-components",
        type=int,
        metavar="N",
        help=f"the most free Gaussians --components auto keeps, 2 to 8 (default: "
        f"{AUTO_COMPONENTS})",
    )
    group.add_argument(
        "--component-order",
        choices=ORDER_CHOICES,
        default="velocity",
        help="the order of free components in the maps: by velocity, blue first, or by "
        "width, narrowest first, for narrow + broad (default: velocity)",
    )
    group.add_argument(
        "--baseline",
        choices=("none", "0", "1", "2"),
        default="none",
        help="polynomial baseline fitted with the lines, of this order (default: none)",
    )


def line_model(args: argparse.Namespace) -> tuple[Any, Any]:
    """The `LineModel` and component count the model options ask for, or
    (None, None) for today's Gaussian fit."""
    from ..basics.errors import QuilletError

    implied = "lines" if args.lines else "hyperfine" if args.hyperfine else "gaussian"
    terms = model_terms(args.model) if args.model else [(implied, {})]
    kinds = [kind for kind, _ in terms]
    baseline = None if args.baseline == "none" else int(args.baseline)
    multiplet_only = [
        name for name, given in (("--ratios", args.ratios), ("--free-velocity",
        args.free_velocity), ("--free-width", args.free_width)) if given
    ]  # fmt: skip
    if "lines" not in kinds and multiplet_only:
        raise UsageError(f"{multiplet_only[0]} shapes a multiplet: give --lines too")
    for option, kind, given in (("--lines", "lines", args.lines),
                                ("--hyperfine", "hyperfine", args.hyperfine)):  # fmt: skip
        if given and kind not in kinds:
            raise UsageError(f"{option} makes a '{kind}' term: add one to --model")
    if kinds != ["gaussian"] and args.components is not None:
        raise UsageError(
            "--components chooses a count of free Gaussians; a multiplet or hyperfine group "
            "has its own: leave --components out"
        )
    if args.max_components is not None:
        if args.components != "auto":
            raise UsageError("--max-components is the ceiling of --components auto: give both")
        if not 2 <= args.max_components <= 8:
            raise UsageError(
                f"--max-components {args.max_components}: give 2 to 8 (auto keeps 0 up to it; "
                "for one Gaussian or none, leave --components out)"
            )
    if kinds == ["gaussian"] and not terms[0][1] and args.components is None and baseline is None:
        return None, None
    try:
        model = None
        for index, (kind, bounds) in enumerate(terms):
            term = _term_model(args, kind, bounds, baseline if index == 0 else None)
            model = term if model is None else model + term
    except QuilletError:
        raise
    except ValueError as error:  # a preset's own check, in the words of its option
        raise UsageError(f"--model: {error}") from None
    return model, _count(args.components) if kinds == ["gaussian"] else None


def model_terms(text: str) -> list[tuple[str, dict[str, Any]]]:
    """--model's terms: (kind, {key: value}) each, a bound as (lo, hi) with
    None for an open end, a name as it is; every mistake a `UsageError`."""
    terms = []
    # A term starts with a letter: a '+' before a digit is a number's sign.
    for part in re.split(r"\+(?=\s*[A-Za-z])", text):
        words = part.split()
        if not words:
            raise UsageError(f"--model {text!r}: a '+' with no term beside it")
        kind, settings = words[0], {}
        if kind not in MODEL_KINDS:
            raise UsageError(
                f"--model: unknown term {kind!r}; the terms are {', '.join(MODEL_KINDS)}"
            )
        for word in words[1:]:
            key, equals, value = word.partition("=")
            keys = BOUND_KEYS + (("name",) if kind == "gaussian" else ())
            if not equals or key not in keys:
                raise UsageError(
                    f"--model: {word!r} in the {kind} term is not KEY=VALUE with KEY one of "
                    f"{', '.join(keys)}"
                )
            if key in settings:
                raise UsageError(f"--model: {key}= given twice in the {kind} term")
            settings[key] = value if key == "name" else _bound_value(key, value)
        terms.append((kind, settings))
    for kind in ("lines", "hyperfine"):
        if sum(k == kind for k, _ in terms) > 1:
            raise UsageError(f"--model: one {kind} term at most, not {text!r}")
    return terms


def _bound_value(key: str, value: str) -> tuple[float | None, float | None]:
    ends = value.split(",")
    if len(ends) != 2:
        raise UsageError(
            f"--model: {key}={value} takes two ends LO,HI (either may be empty), "
            f"such as {key}=20,300"
        )
    try:
        lo, hi = (float(e) if e.strip() else None for e in ends)
    except ValueError:
        raise UsageError(f"--model: {key}={value}: the ends must be numbers") from None
    if any(v is not None and math.isnan(v) for v in (lo, hi)):
        raise UsageError(f"--model: {key}={value}: the ends must be numbers")
    if lo is not None and hi is not None and not lo < hi:
        raise UsageError(f"--model: {key}={value}: LO must lie below HI")
    return lo, hi


def _term_model(
    args: argparse.Namespace, kind: str, settings: dict[str, Any], baseline: int | None
) -> Any:
    from ..data.line_models import HYPERFINE, model_for

    bounds: dict[str, Any] = {key: settings.get(key) for key in BOUND_KEYS}
    if kind == "lines":
        if not args.lines:
            raise UsageError("a lines term needs --lines REST,REST... with a unit")
        try:
            model = model_for(
                "lines", rest=_rest_values(args.lines), convention=args.convention,
                shared_velocity=not args.free_velocity, shared_width=not args.free_width,
                baseline=baseline, **bounds,
            )  # fmt: skip
        except ValueError as error:
            raise UsageError(f"--lines: {error}") from None
        if args.ratios is not None:
            model = model.with_amplitude_ratios(_ratio_values(args.ratios, model.components))
        return model
    if kind == "hyperfine":
        if args.hyperfine is None:
            raise UsageError("a hyperfine term needs --hyperfine NAME")
        if args.hyperfine not in HYPERFINE:
            known = ", ".join(repr(n) for n in sorted(HYPERFINE))
            raise UsageError(f"--hyperfine {args.hyperfine!r} is not known; give one of {known}")
        return model_for("hyperfine", hyperfine=args.hyperfine, baseline=baseline, **bounds)
    count = 1 if args.components in (None, "auto") else _count(args.components)
    if args.components == "auto":
        count = args.max_components or AUTO_COMPONENTS
    return model_for("gaussian", components=count, baseline=baseline, name=settings.get("name"),
                     **bounds)  # fmt: skip


def _count(components: str | None) -> Any:
    if components is None or components == "auto":
        return components
    if not components.isdigit() or not 1 <= int(components) <= 8:
        raise UsageError(f"--components takes auto or 1 to 8, not {components!r}")
    return int(components)


def _ratio_values(text: str, lines: int) -> list[float | None]:
    """--ratios: one entry per line, a positive number or '-' for a line
    whose amplitude is free ('-,1,3.05')."""
    entries = [part.strip() for part in text.split(",")]
    if len(entries) != lines:
        raise UsageError(
            f"--ratios gives {len(entries)} entries for {lines} lines; give one "
            "per line, '-' for a line whose amplitude is free"
        )
    try:
        values = [None if e == "-" else float(e) for e in entries]
    except ValueError:
        raise UsageError(
            f"--ratios takes numbers or '-' separated by commas, not {text!r}"
        ) from None
    if any(not math.isfinite(v) or v <= 0 for v in values if v is not None):
        raise UsageError(f"--ratios {text!r}: the ratios must be positive numbers")
    return values


def _rest_values(text: str) -> Any:
    """Rest values 'A,B,C UNIT' or 'A UNIT,B UNIT2' as Quantities, each in
    its own unit (a frequency among wavelengths stays a frequency, to be
    converted as the cube's axis is)."""
    import astropy.units as u

    parts = [part.strip() for part in text.split(",")]
    unit_of_last = parts[-1].split()[1:] if parts else []
    values = []
    for part in parts:
        words = part.split()
        unit = " ".join(words[1:] or unit_of_last)
        if not words or not unit:
            raise UsageError(
                f"--lines {text!r}: give each rest value a unit, or one after the last "
                "('6562.8,6583.45 Angstrom')"
            )
        try:
            value = u.Quantity(float(words[0]), unit)
        except (ValueError, TypeError):
            raise UsageError(f"--lines: {part!r} is not a number with a unit") from None
        if value.unit.physical_type not in ("length", "frequency"):
            raise UsageError(
                f"--lines: {part!r} is not a wavelength or frequency; give the rest values "
                "with a unit such as Angstrom, nm or GHz"
            )
        values.append(value)
    return values


def describe_model(model: Any, components: Any) -> str:
    """The model in the run's report: each component, its ties, where its
    line sits on the axis, and its bounds; the line the peak search finds."""
    kept = "" if components is None else f", components {components}"
    base = "none" if model.baseline is None else f"order {model.baseline}"
    lines = [f"model: {model.components} component(s), baseline {base}{kept}"]
    if model.reference >= 0:
        lines.append(
            f"  the peak search finds {model.names[model.reference]}; each line's velocity "
            "is its own (lines tied in velocity share one map)"
        )
    for k in range(model.components):
        ties = []
        if model.rest[k] is not None:
            ties.append(f"at {model.line_velocity[k]:+.2f} km/s on the axis")
        if model.centre_ref[k] >= 0:
            ties.append(f"velocity = {model.names[model.centre_ref[k]]}'s")
        if model.amplitude_ref[k] >= 0:
            reference = model.names[model.amplitude_ref[k]]
            ties.append(f"amplitude = {model.amplitude_ratio[k]:.4g} x {reference}")
        if model.sigma_ref[k] >= 0:
            ties.append(f"sigma = {model.names[model.sigma_ref[k]]}'s")
        for what, (lo, hi) in (("amplitude", model.amplitude_bounds[k]),
                               ("velocity", model.velocity_bounds[k]),
                               ("sigma", model.sigma_bounds[k])):  # fmt: skip
            if math.isfinite(lo) or math.isfinite(hi):
                ties.append(f"{what} {lo:g} to {hi:g}")
        lines.append(f"  {model.names[k]:<16} {'; '.join(ties) or 'free'}")
    return "\n".join(lines)


def component_table(fit: Any) -> str:
    counts = fit.component_counts()
    total = max(sum(counts.values()), 1)
    lines = [f"{'components':<22} {'count':>10} {'share':>8}"]
    for kept, count in counts.items():
        lines.append(f"{kept:<22} {count:>10} {100.0 * count / total:>7.1f}%")
    return "\n".join(lines)


def component_quality_table(fit: Any) -> str:
    """Per component: how many spectra kept it, how many of those are
    good, and the count of each doubt among them."""
    import numpy as np

    from ..data.quality import Quality

    kept = np.asarray(fit.success) & (
        np.arange(fit.model.components).reshape((-1,) + (1,) * len(fit.shape))
        < np.asarray(fit.ncomponents)
    )
    good = np.asarray(fit.component_good)
    width = max(22, *(len(name) + 1 for name in fit.model.names))
    lines = [f"{'component':<{width}} {'kept':>8} {'good':>8}  doubts (of those kept)"]
    bits = np.asarray(fit.component_quality)
    for k, name in enumerate(fit.model.names):
        doubts = []
        for bit in Quality:
            if bit in (Quality.NO_DATA, Quality.COMPONENT_DROPPED, Quality.SECOND_START,
                       Quality.REFITTED):  # fmt: skip
                continue
            count = int(np.count_nonzero(kept[k] & ((bits[k] & np.uint16(bit)) != 0)))
            if count:
                doubts.append(f"{str(bit.name).lower()} {count}")
        lines.append(
            f"{name:<{width}} {int(kept[k].sum()):>8} {int(good[k].sum()):>8}  "
            + (", ".join(doubts) or "none")
        )
    return "\n".join(lines)
