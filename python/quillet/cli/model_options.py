"""The line-model options of ``quillet fit``: their group, the words they
take read into values, the `LineModel` those values make (built by
`quillet.data.line_models`: `model_for`, and `LineModel.with_amplitude_ratios`
for --ratios), and the model's lines in the run's report.
"""

from __future__ import annotations

import argparse
import math
from typing import Any

from .usage import UsageError

#: The most free components ``--components auto`` tries.
AUTO_COMPONENTS = 3


def model_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "line model (default: one Gaussian, as without these options)"
    )
    group.add_argument(
        "--model",
        choices=("gaussian", "lines", "hyperfine"),
        help="gaussian: free Gaussians (--components, --baseline); lines: a multiplet "
        "(implied by --lines); hyperfine: a hyperfine group (implied by --hyperfine)",
    )
    group.add_argument(
        "--lines",
        metavar="REST[,REST...]",
        help="rest wavelengths or frequencies with a unit, the first the reference line "
        "whose guide and window the fit starts from, e.g. '6562.8,6548.05,6583.45 Angstrom'",
    )
    group.add_argument(
        "--ratios",
        metavar="R,R...",
        help="fixed amplitude ratios of the lines, one per line (default: all free)",
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
        help=f"free Gaussians: N, or auto (1 to {AUTO_COMPONENTS}, chosen per spectrum by the "
        "BIC with a margin of 10)",
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
    from ..data.line_models import HYPERFINE, model_for

    kind = args.model or ("lines" if args.lines else "hyperfine" if args.hyperfine else "gaussian")
    baseline = None if args.baseline == "none" else int(args.baseline)
    multiplet_only = [
        name for name, given in (("--ratios", args.ratios), ("--free-velocity",
        args.free_velocity), ("--free-width", args.free_width)) if given
    ]  # fmt: skip
    if kind != "lines" and multiplet_only:
        raise UsageError(f"{multiplet_only[0]} shapes a multiplet: give --lines too")
    if kind != "gaussian" and args.components is not None:
        raise UsageError(
            "--components chooses a count of free Gaussians; a multiplet or hyperfine group "
            "has its own: leave --components out"
        )
    if kind == "lines":
        if not args.lines:
            raise UsageError("--model lines needs --lines REST,REST... with a unit")
        rest = _rest_values(args.lines)
        try:
            model = model_for(
                "lines", rest=rest, convention=args.convention,
                shared_velocity=not args.free_velocity, shared_width=not args.free_width,
                baseline=baseline,
            )  # fmt: skip
        except ValueError as error:
            raise UsageError(f"--lines: {error}") from None
        if args.ratios is not None:
            model = model.with_amplitude_ratios(_ratio_values(args.ratios, model.components))
        return model, None
    if kind == "hyperfine":
        if args.hyperfine not in HYPERFINE:
            known = ", ".join(repr(n) for n in sorted(HYPERFINE))
            raise UsageError(f"--hyperfine {args.hyperfine!r} is not known; give one of {known}")
        return model_for("hyperfine", hyperfine=args.hyperfine, baseline=baseline), None
    if args.components is None and baseline is None:
        return None, None
    if args.components is None:
        return model_for("gaussian", baseline=baseline), None
    if args.components == "auto":
        return model_for("gaussian", components=AUTO_COMPONENTS, baseline=baseline), "auto"
    if not args.components.isdigit() or not 1 <= int(args.components) <= 8:
        raise UsageError(f"--components takes auto or 1 to 8, not {args.components!r}")
    count = int(args.components)
    return model_for("gaussian", components=count, baseline=baseline), count


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
    """Rest values 'A,B,C UNIT' or 'A UNIT,B UNIT' as one Quantity."""
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
            values.append(u.Quantity(float(words[0]), unit))
        except (ValueError, TypeError):
            raise UsageError(f"--lines: {part!r} is not a number with a unit") from None
    try:
        return u.Quantity([v.to(values[0].unit, u.spectral()) for v in values])
    except u.UnitConversionError:
        raise UsageError(
            "--lines: the rest values must all be wavelengths or frequencies"
        ) from None


#: How far (relative) a cube's rest frequency may lie from a hyperfine
#: group's main line and still be taken as that line's: beyond any Doppler
#: shift of a source a hyperfine fit is made for.
_HYPERFINE_REST_TOLERANCE = 0.01


def check_hyperfine_in_cube(name: str, header: Any) -> None:
    """Warns when the cube's rest frequency (RESTFRQ, or RESTFREQ) is not the
    group's: the cube then holds another line (an HDO cube fitted as HCN 1-0),
    and the fit, which runs all the same, means nothing."""
    import warnings

    from ..data.line_models import HYPERFINE

    key = next((k for k in ("RESTFRQ", "RESTFREQ") if k in header), None)
    try:
        rest_mhz = float(header[key]) / 1e6 if key is not None else 0.0
    except (TypeError, ValueError):
        return
    main_mhz = HYPERFINE[name].frequencies_mhz[0]
    if rest_mhz > 0 and abs(rest_mhz - main_mhz) > _HYPERFINE_REST_TOLERANCE * main_mhz:
        warnings.warn(
            f"--hyperfine {name!r}: its main line is at {main_mhz:.9g} MHz, but the cube's "
            f"{key} is {rest_mhz:.9g} MHz: the cube holds another line, and these fits "
            "will not describe it",
            stacklevel=2,
        )


def describe_model(model: Any, components: Any) -> str:
    kept = "" if components is None else f", components {components}"
    base = "none" if model.baseline is None else f"order {model.baseline}"
    lines = [f"model: {model.components} component(s), baseline {base}{kept}"]
    for k in range(model.components):
        ties = []
        if model.centre_ref[k] >= 0:
            ties.append(
                f"centre = {model.names[model.centre_ref[k]]} {model.centre_offset[k]:+.2f} km/s"
            )
        if model.amplitude_ref[k] >= 0:
            reference = model.names[model.amplitude_ref[k]]
            ties.append(f"amplitude = {model.amplitude_ratio[k]:.4g} x {reference}")
        if model.sigma_ref[k] >= 0:
            ties.append(f"sigma = {model.names[model.sigma_ref[k]]}'s")
        lines.append(f"  {model.names[k]:<14} {'; '.join(ties) or 'free'}")
    return "\n".join(lines)


def component_table(fit: Any) -> str:
    counts = fit.component_counts()
    total = max(sum(counts.values()), 1)
    lines = [f"{'components':<22} {'count':>10} {'share':>8}"]
    for kept, count in counts.items():
        lines.append(f"{kept:<22} {count:>10} {100.0 * count / total:>7.1f}%")
    return "\n".join(lines)
