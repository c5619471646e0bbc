"""The report lines of a run with a calendar: required time, achieved and inherent availability,
the unplanned figures and the table of phases."""

from __future__ import annotations

from typing import TYPE_CHECKING

from .formatting import duration_text, interval_text, short_interval_text

if TYPE_CHECKING:
    from ..data.result import Result


def calendar_lines(result: "Result") -> list[str]:
    found = result.calendar_measures()
    if found is None:
        return []
    unit, horizon = result.time_unit, result.horizon
    share = found.required_share
    idle = [row.name for row in found.phases if not row.required]
    main = result.measures()
    unplanned = found.unplanned
    phased = "phases" in result.model  # else one phase, the whole study
    lines = [
        f"Required time: {interval_text(share)} of the horizon"
        + (f" (downtime in {', '.join(idle)} is not counted)" if idle else ""),
    ] if phased else []
    lines += [
        f"Availability{' over required time' if phased else ''}: achieved"
        f" {percent_text(1 - main.mean_unavailability.estimate)}, inherent"
        f" {percent_text(1 - unplanned.mean_unavailability.estimate)}",
        "  (achieved: all downtime, planned included; inherent: unplanned only, planned states"
        " working)",
        f"Unplanned mean unavailability: {interval_text(unplanned.mean_unavailability)}",
        f"Unplanned downtime: {duration_text(found.expected_unplanned_downtime, unit)} over"
        f" {horizon:,} {unit}",
        f"Unplanned failures over the horizon: {unplanned.failure_frequency.estimate:.4g}"
        f" [{unplanned.failure_frequency.low:.4g}, {unplanned.failure_frequency.high:.4g}]",
        f"Reliability, no unplanned system failure in {horizon:,} {unit}:"
        f" {interval_text(unplanned.reliability)}  (Wilson)",
        f"Mean unplanned down time per failure: {duration_text(unplanned.mean_down_time, unit)}",
        f"A history's unplanned downtime: median"
        f" {duration_text(unplanned.downtime_quantiles['p50'], unit)}, 90th percentile"
        f" {duration_text(unplanned.downtime_quantiles['p90'], unit)}",
    ]
    if not phased:
        return lines
    rows = [("phase", "required", "share of the horizon", "mean unavailability",
             "unplanned", "failures per history")]
    for row in found.phases:
        rows.append((row.name, "yes" if row.required else "no",
                     short_interval_text(row.time_share),
                     short_interval_text(row.unavailability),
                     short_interval_text(row.unplanned_unavailability),
                     f"{row.failures.estimate:.4g} [{row.failures.low:.4g},"
                     f" {row.failures.high:.4g}]"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines.append("Phases (unavailability in each phase's own logic, required or not; failures"
                 " begun in the phase):")
    lines += ["  " + "  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip()
              for r in rows]
    return lines


def percent_text(value: float) -> str:
    return f"{100 * value:.5g} %"
