"""A resolution certificate on disk: certificate.json, certificate.md with its PNG plots, and
its figures as attributes of a results store."""

from __future__ import annotations

import json
import math
import os
import pathlib
from typing import Any

from ._errors import MorvexError

RESPONSE_PLOT = "certificate_response.png"
BIAS_PLOT = "certificate_bias.png"


def write_certificate(certificate: dict[str, Any], folder: str | os.PathLike[str]
                      ) -> list[pathlib.Path]:
    """Write certificate.json, certificate.md and its two plots into `folder` (created).

    Returns:
        The paths written, the JSON first.

    Raises:
        MorvexError: when the folder cannot be created or written.
    """
    out = pathlib.Path(folder)
    try:
        out.mkdir(parents=True, exist_ok=True)
        json_path = out / "certificate.json"
        json_path.write_text(json.dumps(_finite(certificate), indent=2) + "\n")
        plots = [plot_response(certificate, out / RESPONSE_PLOT),
                 plot_bias(certificate, out / BIAS_PLOT)]
        md_path = out / "certificate.md"
        md_path.write_text(markdown(certificate))
    except OSError as error:
        raise MorvexError(f"cannot write the certificate into {out}: {error.strerror}") from None
    return [json_path, md_path, *plots]


def summary(certificate: dict[str, Any]) -> dict[str, Any]:
    """The headline figures as flat attributes (numbers and strings) for a dataset or store."""
    noise = certificate["noise_floor"]
    star = certificate["spatial_resolution"]
    attrs = {
        "certificate_noise_floor_px": noise["displacement_px"],
        "certificate_noise_floor_se_px": noise.get("se", {}).get("displacement_px", math.nan),
        "certificate_predicted_sigma_px": noise["predicted_sigma_px"],
        "certificate_strain_noise": noise["strain_noise"],
        "certificate_max_abs_bias_px": certificate["bias"]["max_abs_bias_px"],
        "certificate_max_abs_bias_se_px": certificate["bias"].get("max_abs_bias_se_px",
                                                                  math.nan),
        "certificate_l10_displacement_px": star["l10_displacement_px"],
        "certificate_l10_displacement_se_px": star.get("l10_displacement_se_px", math.nan),
        "certificate_l10_strain_px": star["l10_strain_px"],
        "certificate_l10_strain_se_px": star.get("l10_strain_se_px", math.nan),
        "certificate_mei_displacement_px2": certificate["mei"]["displacement_px2"],
        "certificate_mei_strain_px": certificate["mei"]["strain_px"],
        "certificate_flags": "; ".join(f"{figure}: {reason}" for figure, reason
                                       in certificate.get("flags", {}).items()),
        "certificate_json": json.dumps(_finite(certificate)),
    }
    attrs.update({f"certificate_{name}": value
                  for name, value in certificate.get("millimetres", {}).items()})
    return {k: (v if not isinstance(v, float) or math.isfinite(v) else "nan")
            for k, v in attrs.items()}


def headline(certificate: dict[str, Any]) -> str:
    """One line of the headline figures, each with its standard error, and the figures the
    image cannot support named as such (the command line prints it)."""
    noise = certificate["noise_floor"]
    star = certificate["spatial_resolution"]
    se = noise.get("se", {})
    floor = _with_error(noise["displacement_px"], se.get("displacement_px"), "{:.4g}")
    line = (f"noise floor {floor} (predicted {noise['predicted_sigma_px']:.4g} px), strain "
            f"{_with_error(noise['strain_noise'], se.get('strain_noise'), '{:.3g}', '')}; l10% "
            f"{_with_error(star['l10_displacement_px'], star.get('l10_displacement_se_px'))} "
            f"(displacement), "
            f"{_with_error(star['l10_strain_px'], star.get('l10_strain_se_px'))} (strain)")
    metric = certificate.get("millimetres")
    if metric:
        line += (f"; on the specimen ({metric['mm_per_px']:.4g} mm/px): noise floor "
                 f"{metric['noise_floor_mm']:.3g} mm, l10% {metric['l10_displacement_mm']:.3g} "
                 f"mm (displacement), {metric['l10_strain_mm']:.3g} mm (strain)")
    flags = certificate.get("flags", {})
    if flags:
        line += "; FLAGGED " + "; ".join(f"{name.split('.')[-1]}: {reason}"
                                         for name, reason in flags.items())
    return line


def markdown(certificate: dict[str, Any]) -> str:
    """The certificate as a readable Markdown page (plots referenced by their file names)."""
    noise = certificate["noise_floor"]
    bias = certificate["bias"]
    star = certificate["spatial_resolution"]
    mei = certificate["mei"]
    lines = [f"# Resolution certificate ({certificate['software']['name']} "
             f"{certificate['software']['version']})", "",
             "Measured with these settings on this reference image; the figures hold for a "
             "measurement made with the same settings on the same pattern.", "",
             "## Settings (Good Practices Guide table)", "", "| Parameter | Value |",
             "| --- | --- |"]
    lines += [f"| {name} | {value} |" for name, value in certificate["settings_table"]]
    choice = certificate.get("subset_choice")
    if choice:
        lines += ["", f"Subset chosen automatically: {choice['reason']}."]
    noise_se = noise.get("se", {})
    strain_se = noise_se.get("strain", {})

    def noise_text(name: str, fmt: str = "{:.4g}", unit: str = " px") -> str:
        return _with_error(noise[name], noise_se.get(name), fmt, unit)

    def strain_text(name: str) -> str:
        return _with_error(noise["strain"][name], strain_se.get(name), "{:.3g}", "")
    lines += ["", "## Noise floor", "",
              f"Source: {noise['source']} (crop x {noise['crop'][0]}..{noise['crop'][2]}, "
              f"y {noise['crop'][1]}..{noise['crop'][3]}; {noise['points']} points, "
              f"{noise['valid_share']:.1%} valid). Estimated read noise of the reference: "
              f"{noise['read_noise_grey']:.3g} grey levels.", "",
              "| Quantity | Measured scatter | Predicted sigma (RMS of the run's) |",
              "| --- | --- | --- |",
              f"| u | {noise_text('u_px')} | "
              f"{noise['predicted_sigma_u_px']:.4g} px |",
              f"| v | {noise_text('v_px')} | "
              f"{noise['predicted_sigma_v_px']:.4g} px |",
              f"| displacement (RMS of u, v) | "
              f"{noise_text('displacement_px')}{_flag(noise, 'displacement_px')} | "
              f"{noise_text('predicted_sigma_px')} |",
              *(f"| {name} | {strain_text(name)} | |" for name in ("exx", "eyy", "exy")),
              f"| strain (RMS of the three) | {noise_text('strain_noise', '{:.3g}', '')}"
              f"{_flag(noise, 'strain_noise')} | |", "",
              f"Calibration of the predicted sigma (measured / predicted): "
              f"{noise_text('calibration', '{:.3f}', '')} "
              "(1 is ideal).", "",
              f"Each +- is a standard error: {noise.get('se_method', 'not measured')}"
              f" (about {noise.get('independent_subsets', float('nan')):.0f} independent "
              "subsets).", "",
              "## Bias over a sub-pixel shift", "",
              f"Shifted copies by: {bias.get('shift_interpolant', 'quintic B-spline')}.", "",
              f"The reference shifted along x (crop x "
              f"{bias['crop'][0]}..{bias['crop'][2]}, y {bias['crop'][1]}..{bias['crop'][3]}); "
              f"largest |bias| "
              f"{_with_error(bias['max_abs_bias_px'], bias.get('max_abs_bias_se_px'), '{:.2g}')}"
              f"{_flag(bias, 'max_abs_bias_px')}.", "",
              "| Shift (px) | " + " | ".join(f"{s:.1f}" for s in bias["shifts_px"]) + " |",
              "| --- |" + " --- |" * len(bias["shifts_px"]),
              "| Bias (px) | " + " | ".join(_number(b, "{:+.1e}") for b in bias["bias_px"])
              + " |",
              "| Standard error (px) | " + " | ".join(
                  _number(b, "{:.1e}") for b in bias.get("bias_se_px", [])) + " |", "",
              f"![bias]({BIAS_PLOT})", "",
              "## Spatial resolution", "",
              f"The reference deformed by v = {star['amplitude_px']:g} cos(2 pi (y - yc) / p(x))"
              f" px, p from {star['period_range_px'][0]:g} to {star['period_range_px'][1]:g} px "
              f"along x, on {_bands_text(star)}{_centres_text(star)}. The response is the mean over"
              " the star centres, and"
              " l10% is the period below which the measured amplitude stays under 90 % of the"
              " true one; its +- is the standard error from the "
              f"{star.get('se_method', 'spread over the bands')} (one centre's own l10%"
              " depends on its few speckles).", "",
              "| Figure | Value |", "| --- | --- |",
              f"| l10% of displacement | "
              f"{_with_error(star['l10_displacement_px'], star.get('l10_displacement_se_px'))} "
              f"({_ratio(star['l10_displacement_px'], certificate)} x subset)"
              f"{_flag(star, 'l10_displacement_px')} |",
              f"| l10% of an ideal {certificate['settings']['shape']} fit | "
              f"{_number(star['l10_theory_px'], '{:.1f} px')} (exact) |",
              f"| l10% of strain | "
              f"{_with_error(star['l10_strain_px'], star.get('l10_strain_se_px'))}"
              f"{_flag(star, 'l10_strain_px')} |",
              f"| MEI of displacement (noise x l10%) | "
              f"{_with_error(mei['displacement_px2'], mei.get('displacement_se_px2'), '{:.3g}',
                             ' px^2')}"
              f"{_flag(mei, 'displacement_px2')} |",
              f"| MEI of strain | "
              f"{_with_error(mei['strain_px'], mei.get('strain_se_px'), '{:.3g}')}"
              f"{_flag(mei, 'strain_px')} |", "",
              f"![response]({RESPONSE_PLOT})", ""]
    metric = certificate.get("millimetres")
    if metric:
        rows = (("Noise floor of displacement", "noise_floor_mm", "{:.4g}"),
                ("Predicted sigma", "predicted_sigma_mm", "{:.4g}"),
                ("Largest bias", "max_abs_bias_mm", "{:.3g}"),
                ("l10% of displacement", "l10_displacement_mm", "{:.4g}"),
                ("l10% of strain", "l10_strain_mm", "{:.4g}"),
                ("MEI of displacement (mm^2)", "mei_displacement_mm2", "{:.3g}"),
                ("MEI of strain", "mei_strain_mm", "{:.3g}"))
        lines += ["## On the specimen", "",
                  f"The lengths above in mm on the specimen plane, at its scale at the image "
                  f"centre: {_number(metric['mm_per_px'], '{:.5g}')} mm/px.", "",
                  "| Figure | mm |", "| --- | --- |"]
        lines += [f"| {label} | {_number(metric[key], fmt)} |" for label, key, fmt in rows]
        lines += [""]
    notes = [text for text in (noise.get("note"), star.get("note")) if text]
    lines += [f"Note: {text}." for text in notes] + ([""] if notes else [])
    flags = certificate.get("flags", {})
    if flags:
        lines += ["## Figures this image cannot support", ""]
        lines += [f"- **{name}**: {reason}." for name, reason in flags.items()] + [""]
    lines += [
              f"Measured in {certificate['seconds']:.1f} s.", ""]
    return "\n".join(lines)


def plot_response(certificate: dict[str, Any], path: pathlib.Path) -> pathlib.Path:
    """Amplitude response against period: displacement, strain and the ideal fit."""
    import matplotlib.pyplot as plt

    star = certificate["spatial_resolution"]
    fig, ax = plt.subplots(figsize=(7, 4))
    periods = star["periods_px"]
    ax.plot(periods, _nan(star["displacement_response"]), label="displacement v")
    ax.plot(periods, _nan(star["strain_response"]), label="strain eyy")
    ax.plot(periods, star["theory_response"], "--", color="grey",
            label=f"ideal {certificate['settings']['shape']} fit")
    ax.axhline(0.9, color="k", lw=0.8, ls=":")
    for key, colour in (("l10_displacement_px", "C0"), ("l10_strain_px", "C1")):
        value = star[key]
        if value is not None and math.isfinite(value):
            ax.axvline(value, color=colour, lw=0.8, ls=":")
    ax.set_xscale("log")
    ticks = [t for t in (10, 20, 50, 100, 200, 500, 1000) if t <= max(periods) * 1.05]
    ax.set_xticks(ticks, [str(t) for t in ticks])
    ax.minorticks_off()
    ax.set_ylim(-0.2, 1.2)
    ax.set_xlabel("period of the sinusoid, px")
    ax.set_ylabel("measured / true amplitude")
    ax.set_title(f"Spatial resolution: l10% = {_number(star['l10_displacement_px'], '{:.0f}')}"
                 f" px (displacement), {_number(star['l10_strain_px'], '{:.0f}')} px (strain)")
    ax.legend(loc="lower right")
    ax.grid(True, which="both", alpha=0.3)
    return _save(fig, path)


def plot_bias(certificate: dict[str, Any], path: pathlib.Path) -> pathlib.Path:
    """Mean error of u against the imposed sub-pixel shift."""
    import matplotlib.pyplot as plt

    bias = certificate["bias"]
    fig, ax = plt.subplots(figsize=(6, 3.5))
    ax.errorbar(bias["shifts_px"], _nan(bias["bias_px"]),
                yerr=_nan(bias.get("bias_se_px") or [None] * len(bias["bias_px"])),
                fmt="o-", capsize=3)
    ax.axhline(0.0, color="k", lw=0.8)
    ax.set_xlabel("imposed shift along x, px")
    ax.set_ylabel("bias of u, px")
    ax.set_title("Bias over a sub-pixel shift (copies by Fourier shift)"
                 if "shift_interpolant" in bias else "Bias over a sub-pixel shift")
    ax.grid(True, alpha=0.3)
    return _save(fig, path)


def _save(fig: Any, path: pathlib.Path) -> pathlib.Path:
    import matplotlib.pyplot as plt

    try:
        fig.tight_layout()
        fig.savefig(path, dpi=120)
    finally:
        plt.close(fig)
    return path


def _finite(value: Any) -> Any:
    # JSON has no NaN: unmeasured figures (a band too narrow for these settings) are null.
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _nan(values: list[Any]) -> list[float]:
    return [float("nan") if v is None else v for v in values]


def _number(value: Any, fmt: str) -> str:
    if value is None or not math.isfinite(value):
        return "not reached"
    return fmt.format(value)


def _with_error(value: Any, error: Any, fmt: str = "{:.1f}", unit: str = " px") -> str:
    """"39.5 +- 0.6 px", or the value with "(no error)" when there is none to give."""
    text = _number(value, fmt)
    if text == "not reached":
        return text
    if error is None or not math.isfinite(error):
        return f"{text}{unit} (no error)"
    # Two significant digits of an error are all it has, unless the value's format is coarser.
    return f"{text} +- {_number(error, fmt if fmt == '{:.1f}' else '{:.2g}')}{unit}"


def _flag(section: dict[str, Any], figure: str) -> str:
    reason = section.get("flags", {}).get(figure)
    return f" **(flagged: {reason})**" if reason else ""


def _bands_text(star: dict[str, Any]) -> str:
    bands = star.get("bands") or [star["band"]]
    where = "; ".join(f"x {b[0]}..{b[2]}, y {b[1]}..{b[3]}" for b in bands)
    return f"{len(bands)} band{'s' if len(bands) > 1 else ''} ({where})"


def _centres_text(star: dict[str, Any]) -> str:
    centres = star.get("centre_rows_px") or []
    if len(centres) <= len(star.get("bands") or [star["band"]]):
        return ", centred on each"
    return ", centred on rows " + ", ".join(f"{row:g}" for row in centres)


def _ratio(value: Any, certificate: dict[str, Any]) -> str:
    subset = certificate["settings"]["subset"]
    if value is None or not math.isfinite(value):
        return "-"
    return f"{value / subset:.2f}"
