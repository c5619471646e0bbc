"""The report's lines on logistics and costs (data/logistics.py)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

from ..data.logistics import CAUSE_NAMES, figures_of
from ..engine.logistics import priced_kinds

if TYPE_CHECKING:
    from ..data.result import Result
    from ..data.stats import Interval

_SHORT = {"repair": "repair", "delay": "delay", "crew": "crew", "part": "part",
          "planned": "planned"}
_KIND_NAMES = {"system_downtime": "system downtime", "lost_production": "lost production",
               "repairs": "repairs",
               "crews": "crew hours and calls", "parts": "spare parts", "total": "total"}


def _interval(value: "Interval", unit: str = "") -> str:
    unit = f" {unit}" if unit else ""
    return f"{value.estimate:,.4g}{unit} [{value.low:,.4g}, {value.high:,.4g}]"


def money(value: float, sign: bool = False) -> str:
    """An amount as accounts show it: whole units with thousands separators, small amounts
    with four digits."""
    form = "+" if sign else ""
    return f"{value:{form},.0f}" if abs(value) >= 100 else f"{value:{form}.4g}"


def _number(value: float, digits: int = 4) -> str:
    return "-" if math.isnan(value) else f"{value:,.{digits}g}"


def logistics_lines(result: "Result") -> list[str]:
    """Downtime by cause, per component, stock and crew figures, and costs; none for a model
    without logistics."""
    found = figures_of(result)
    if found is None:
        return []
    unit, horizon = result.time_unit, result.horizon
    lines = [f"Downtime by cause, {unit} over {horizon:,} {unit} (the system's shared equally"
             " among the components down):"]
    for cause, value in found.system_downtime().items():
        lines.append(f"  system, {CAUSE_NAMES[cause]}: {_interval(value, unit)}")
    components = found.components()
    width = max(len(name) for name in (*components, "component")) + 1
    header = "".join(f"{_SHORT[c]:>9}" for c in CAUSE_NAMES)
    lines.append(f"  {'component':<{width}}{header}{'failures':>9}{'repairs':>9}"
                 f"{'wait crew':>10}{'wait part':>10}")
    for name, entry in components.items():
        causes = "".join(f"{entry['downtime'][c].estimate:>9.4g}" for c in CAUSE_NAMES)
        lines.append(f"  {name:<{width}}{causes}{entry['failures'].estimate:>9.4g}"
                     f"{entry['repairs'].estimate:>9.4g}"
                     f"{_number(entry['mean_wait_crew']):>10}{_number(entry['mean_wait_part']):>10}")
    lines.append(f"  (mean per history, {unit}: downtime by cause (delay: logistic delay), failures,"
                 " repairs;")
    lines.append(f"  waits: mean {unit} per failure for a crew, its mobilisation included, and for"
                 " a part)")
    for name, stock in found.stocks().items():
        lines.append(f"Spares {name}: {_interval(stock['demands'])} parts needed, a stock-out"
                     f" when one is needed {_number(100 * stock['stock_out_chance'])} %,")
        lines.append(f"  {_interval(stock['mean_on_shelf'])} parts on the shelf on average,"
                     f" {_interval(stock['orders'])} orders of"
                     f" {_interval(stock['parts_ordered'])} parts")
    for name, crew in found.crews().items():
        lines.append(f"Crews {name} ({crew['count']}): utilisation"
                     f" {_number(100 * crew['utilisation'])} %, busy"
                     f" {_interval(crew['busy_hours'], unit)}, {_interval(crew['calls'])} calls")
    prices = result.model.get("costs", {})
    currency = prices.get("currency", "")
    lines.append(f"Expected cost over {horizon:,} {unit}{' in ' + currency if currency else ''}:")
    priced = {*priced_kinds(result.model), "total"}
    for kind, value in found.costs().items():
        if kind not in priced:
            continue  # 0 in every history: no interval to give
        lines.append(f"  {_KIND_NAMES[kind]}: {money(value.estimate)} [{money(value.low)},"
                     f" {money(value.high)}]")
    return lines
