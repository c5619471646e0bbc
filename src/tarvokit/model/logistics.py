"""What keeps a plant running and what it costs: spare parts, logistic delays, crews'
mobilisation, ageing repairs and costs.

In the model file:

    [spares.pump_parts]
    parts = ["pump[*]"]            # components whose repair takes one part of this stock
    stock = 2                      # parts on the shelf at time 0
    lead_time = {law = "Lognormal", median = 240, error_factor = 2}
    # reorder_point = 1, order_up_to = 4   an (s, S) policy instead of one for one
    cost = {part = 1500, order = 0, holding_per_hour = 0.5}

    [components.pump]
    repair = {law = "Exponential", mean = 24, delay = {law = "Uniform", low = 2, high = 8},
              restoration = 0.5, ageing = "kijima1"}
    age = 5000                     # virtual age at time 0
    cost = {repair = 4000, per_hour_down = 0}

    [crews.mechanics]
    mobilisation = {law = "Exponential", mean = 4}
    cost = {per_hour = 95, per_call = 300, standing_per_hour = 8}

    [costs]
    currency = "EUR"
    system_down_per_hour = 12000
    per_unit_lost = 0.8            # per unit of production lost (a model with [system] capacity)

A component in the general form (states and transitions) gives its repair's keys as
`repair_logistics = {delay = ..., restoration = ..., ageing = ...}`; the repair is its
transition back into its first state. `read_logistics` checks all of it against the expanded
components and returns a `Logistics`; its `add_to` writes it into a model's description, from
which it reads back unchanged (the description's components are in the general form). Errors are
ModelError, one line naming the file and the key path.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Sequence

from . import laws
from .dependencies import member_list, read_number
from .errors import Where, reject_unknown_keys, shown

TOP_LEVEL_KEYS = ("spares", "costs")
COMPONENT_KEYS = ("age", "cost", "repair_logistics")
POOL_KEYS = ("mobilisation", "cost")
REPAIR_KEYS = ("delay", "restoration", "ageing")
AGEING_MODELS = ("kijima1", "kijima2")
_SPARES_KEYS = ("parts", "stock", "lead_time", "reorder_point", "order_up_to", "cost")
_COMPONENT_COST_KEYS = ("repair", "per_hour_down")
_CREW_COST_KEYS = ("per_hour", "per_call", "standing_per_hour")
_SPARES_COST_KEYS = ("part", "order", "holding_per_hour")
_COSTS_KEYS = ("currency", "system_down_per_hour", "per_unit_lost")


def repair_law(table: Any) -> Any:
    """The law of a shorthand `repair` table without the logistics keys it may hold."""
    if not isinstance(table, dict):
        return table
    return {key: value for key, value in table.items() if key not in REPAIR_KEYS}


@dataclass(frozen=True)
class ComponentLogistics:
    name: str
    delay: dict | None = None
    restoration: float = 1.0
    ageing: str = "kijima1"
    age: float = 0.0
    repair_cost: float = 0.0
    down_cost: float = 0.0  # per time unit down

    @property
    def ages(self) -> bool:
        return self.restoration < 1 or self.age > 0

    def description(self) -> dict:
        entry: dict[str, Any] = {}
        repair: dict[str, Any] = {}
        if self.delay is not None:
            repair["delay"] = dict(self.delay)
        repair.update({"restoration": self.restoration, "ageing": self.ageing})
        entry["repair_logistics"] = repair
        if self.age:
            entry["age"] = self.age
        if self.repair_cost or self.down_cost:
            entry["cost"] = {"repair": self.repair_cost, "per_hour_down": self.down_cost}
        return entry


@dataclass(frozen=True)
class Stock:
    name: str
    parts: tuple[str, ...]
    stock: int
    lead_time: dict
    reorder_point: int | None = None  # None: one for one
    order_up_to: int | None = None
    part_cost: float = 0.0
    order_cost: float = 0.0
    holding_cost: float = 0.0  # per part on the shelf and time unit

    def description(self) -> dict:
        entry: dict[str, Any] = {"parts": list(self.parts), "stock": self.stock,
                                 "lead_time": dict(self.lead_time)}
        if self.reorder_point is not None:
            entry.update({"reorder_point": self.reorder_point, "order_up_to": self.order_up_to})
        if self.part_cost or self.order_cost or self.holding_cost:
            entry["cost"] = {"part": self.part_cost, "order": self.order_cost,
                             "holding_per_hour": self.holding_cost}
        return entry


@dataclass(frozen=True)
class CrewLogistics:
    name: str
    mobilisation: dict | None = None
    per_hour: float = 0.0  # per crew and time unit busy
    per_call: float = 0.0
    standing_per_hour: float = 0.0  # per crew and time unit on hand, busy or not

    def description(self) -> dict:
        entry: dict[str, Any] = {}
        if self.mobilisation is not None:
            entry["mobilisation"] = dict(self.mobilisation)
        if self.per_hour or self.per_call or self.standing_per_hour:
            entry["cost"] = {"per_hour": self.per_hour, "per_call": self.per_call,
                             "standing_per_hour": self.standing_per_hour}
        return entry


@dataclass(frozen=True)
class Logistics:
    """A model's logistics: only the components and crews that have some, every stock."""

    components: tuple[ComponentLogistics, ...] = ()
    stocks: tuple[Stock, ...] = ()
    crews: tuple[CrewLogistics, ...] = ()
    currency: str = ""
    system_down_per_hour: float = 0.0
    per_unit_lost: float = 0.0  # per capacity unit x time unit of production lost
    has_costs_table: bool = False
    notes: tuple[str, ...] = field(default=(), compare=False)

    def __bool__(self) -> bool:
        return bool(self.components or self.stocks or self.crews or self.has_costs_table)

    def component(self, name: str) -> ComponentLogistics:
        for entry in self.components:
            if entry.name == name:
                return entry
        return ComponentLogistics(name)

    def crew(self, name: str) -> CrewLogistics:
        for entry in self.crews:
            if entry.name == name:
                return entry
        return CrewLogistics(name)

    def add_to(self, description: dict) -> dict:
        """`description` (components in the general form) with these keys written in."""
        if not self:
            return description
        result = dict(description)
        result["components"] = {name: dict(entry)
                                for name, entry in description["components"].items()}
        for entry in self.components:
            result["components"][entry.name].update(entry.description())
        if self.stocks:
            result["spares"] = {s.name: s.description() for s in self.stocks}
        for crew in self.crews:
            pools = result.setdefault("crews", {})
            if crew.name in pools:
                pools[crew.name] = {**pools[crew.name], **crew.description()}
        if self.has_costs_table:
            costs: dict[str, Any] = {"system_down_per_hour": self.system_down_per_hour}
            if self.per_unit_lost:
                costs["per_unit_lost"] = self.per_unit_lost
            if self.currency:
                costs["currency"] = self.currency
            result["costs"] = costs
        return result

    def text(self, time_unit: str) -> str:
        """Lines for `tarvo check`."""
        lines = []
        if self.stocks:
            lines.append("Spare parts:")
            for s in self.stocks:
                policy = ("one for one" if s.reorder_point is None
                          else f"(s, S) = ({s.reorder_point}, {s.order_up_to})")
                lines.append(f"  {s.name}: {s.stock} on the shelf, {policy}, lead time"
                             f" {laws.describe(s.lead_time, time_unit)}; parts for"
                             f" {', '.join(s.parts)}")
        repairs = [c for c in self.components if c.delay is not None or c.ages]
        if repairs:
            lines.append("Repair logistics and ageing:")
            for c in repairs:
                parts = []
                if c.delay is not None:
                    parts.append(f"delay {laws.describe(c.delay, time_unit)}")
                if c.ages:
                    parts.append(f"restoration {c.restoration:g} ({c.ageing}), age at start"
                                 f" {c.age:g} {time_unit}")
                lines.append(f"  {c.name}: {'; '.join(parts)}")
        mobilised = [c for c in self.crews if c.mobilisation is not None]
        for crew in mobilised:
            lines.append(f"  crews.{crew.name}: mobilisation"
                         f" {laws.describe(crew.mobilisation, time_unit)}")
        if self.has_costs_table:
            prices = []
            if self.system_down_per_hour or not self.per_unit_lost:
                prices.append(f"system down {self.system_down_per_hour:g} per {time_unit}")
            if self.per_unit_lost:
                prices.append(f"{self.per_unit_lost:g} per unit of production lost")
            lines.append(f"Costs in {self.currency or 'the study currency'}: {', '.join(prices)}")
        return "\n".join(lines)


def read_logistics(data: dict, components: Sequence[Any], where: Where, resolution: int,
                   pools: Sequence[Any], standby: Sequence[str]) -> Logistics:
    """The logistics of a model file (or description) `data`, checked against its expanded
    `components` (objects with name, states and transitions), its crew `pools` (with name and
    repairs) and the names of its standby units."""
    names = [c.name for c in components]
    by_name = {c.name: c for c in components}
    notes: list[str] = []
    entries = _component_entries(data, names, by_name, where, resolution, standby, notes)
    stocks = _stocks(data, names, by_name, where, resolution)
    crews = _crews(data, pools, where, resolution)
    costs_table = data.get("costs")
    currency, down_cost, lost_cost = "", 0.0, 0.0
    if costs_table is not None:
        at = where.key("costs")
        if not isinstance(costs_table, dict):
            at.fail(f"expected a table with currency, system_down_per_hour and"
                    f" per_unit_lost, got {shown(costs_table)}")
        reject_unknown_keys(costs_table, _COSTS_KEYS, at)
        currency = costs_table.get("currency", "")
        if not isinstance(currency, str):
            at.key("currency").fail(f"expected a text such as \"EUR\", got {shown(currency)}")
        down_cost = _amount(costs_table, "system_down_per_hour", at)
        lost_cost = _amount(costs_table, "per_unit_lost", at)
        system = data.get("system")
        if "per_unit_lost" in costs_table and not (isinstance(system, dict)
                                                   and "capacity" in system):
            at.key("per_unit_lost").fail('needs [system] capacity = "...": the production lost'
                                         " is the demand the capacity falls short of")
    return Logistics(tuple(entries), tuple(stocks), tuple(crews), currency, down_cost,
                     lost_cost, costs_table is not None, tuple(notes))


def _component_entries(data: dict, names: list[str], by_name: dict, where: Where,
                       resolution: int, standby: Sequence[str],
                       notes: list[str]) -> list[ComponentLogistics]:
    found: dict[str, ComponentLogistics] = {}
    tables = data.get("components", {})
    for key, entry in tables.items() if isinstance(tables, dict) else ():
        if not isinstance(entry, dict):
            continue
        at = where.key("components").key(key)
        repair = _repair_keys(entry, at)
        if not repair and not any(k in entry for k in ("age", "cost")):
            continue
        repair_at = at.key("repair" if "repair" in entry else "repair_logistics")
        delay = repair.get("delay")
        if delay is not None:
            laws.engine_law(delay, repair_at.key("delay"), resolution)
        restoration = 1.0
        if "restoration" in repair:
            restoration = read_number(repair, "restoration", repair_at)
            if not 0 <= restoration <= 1:
                repair_at.key("restoration").fail(
                    f"expected a restoration from 0 (as bad as old) to 1 (as good as new), got"
                    f" {restoration:g}")
        ageing = repair.get("ageing", "kijima1")
        if ageing not in AGEING_MODELS:
            repair_at.key("ageing").fail(f"unknown ageing model {shown(ageing)}; expected one"
                                         f" of: {', '.join(AGEING_MODELS)}")
        age = read_number(entry, "age", at, default=0.0)
        if age < 0:
            at.key("age").fail(f"expected a virtual age of at least 0, got {age:g}")
        repair_cost, down_cost = _prices(entry, _COMPONENT_COST_KEYS,
                                         "{repair = 4000, per_hour_down = 0}", at)
        units = [n for n in names if n == key or (n.startswith(f"{key}[") and "count" in entry)]
        for unit in units:
            component = by_name[unit]
            if (delay is not None or restoration < 1) and not _has_repair(component):
                repair_at.fail(f'"{unit}" has no repair (no transition back to'
                               f' "{component.states[0]}") for these keys to act on')
            ages = restoration < 1 or age > 0
            if ages and unit in standby:
                repair_at.fail(f'"{unit}" is a standby unit: its running and dormant lives are'
                               " kept across demands and renewed by its repairs; ageing repairs"
                               " apply to units that run")
            if ages:
                failure = _failure_law(component)
                if failure is None:
                    at.fail(f'"{unit}" has no failure law out of "{component.states[0]}" for'
                            " its age to act on")
                if failure.get("law") not in ("Weibull", "Lognormal", "Normal", "Uniform",
                                              "Exponential"):
                    at.fail(f'"{unit}" fails by a {failure.get("law")} law, which has no age'
                            " to condition on; ageing needs a law of a duration")
                if failure.get("law") == "Exponential" and not any(
                        n.startswith(f"{at.path}:") for n in notes):
                    notes.append(f"{at.path}: an Exponential failure law has no memory:"
                                 " restoration and age change nothing")
            found[unit] = ComponentLogistics(unit, dict(delay) if delay is not None else None,
                                             restoration, ageing, age, repair_cost, down_cost)
    return [found[name] for name in names if name in found]


def _repair_keys(entry: dict, at: Where) -> dict:
    """The logistics keys of a component's repair: from its shorthand repair table, or its
    repair_logistics table."""
    given = {}
    repair = entry.get("repair")
    if isinstance(repair, dict):
        given = {k: v for k, v in repair.items() if k in REPAIR_KEYS}
    if "repair_logistics" in entry:
        table = entry["repair_logistics"]
        if not isinstance(table, dict):
            at.key("repair_logistics").fail(f"expected a table with delay, restoration and"
                                            f" ageing, got {shown(table)}")
        reject_unknown_keys(table, REPAIR_KEYS, at.key("repair_logistics"))
        if given:
            at.key("repair_logistics").fail("give the repair's logistics once: in the repair"
                                            " table or here")
        given = dict(table)
    return given


def _has_repair(component: Any) -> bool:
    return any(t.target == 0 for t in component.transitions)


def _failure_law(component: Any) -> dict | None:
    failed = (list(component.states).index("failed") if "failed" in component.states else 1)
    for transition in component.transitions:
        if transition.source == 0 and transition.target == failed:
            return transition.law
    return None


def _stocks(data: dict, names: list[str], by_name: dict, where: Where,
            resolution: int) -> list[Stock]:
    tables = data.get("spares", {})
    if not isinstance(tables, dict):
        where.key("spares").fail(f"expected named tables such as [spares.pump_parts], got"
                                 f" {shown(tables)}")
    stocks = []
    stock_of: dict[str, str] = {}
    for name, entry in tables.items():
        at = where.key("spares").key(name)
        if not isinstance(entry, dict):
            at.fail(f"expected a table with parts, stock and lead_time, got {shown(entry)}")
        reject_unknown_keys(entry, _SPARES_KEYS, at)
        parts = member_list(entry, "parts", names, at)
        for part in parts:
            if part in stock_of:
                at.key("parts").fail(f'"{part}" already takes its parts from'
                                     f" spares.{stock_of[part]}; a component's parts come from"
                                     " one stock")
            if not _has_repair(by_name[part]):
                at.key("parts").fail(f'"{part}" has no repair to take a part for')
            stock_of[part] = name
        stock = _whole(entry, "stock", at, minimum=0)
        if "lead_time" not in entry:
            at.fail('missing "lead_time", the law of the time an ordered part takes to come')
        laws.engine_law(entry["lead_time"], at.key("lead_time"), resolution)
        reorder = order_up_to = None
        if ("reorder_point" in entry) != ("order_up_to" in entry):
            at.fail('an (s, S) policy needs both "reorder_point" and "order_up_to"')
        if "reorder_point" in entry:
            reorder = _whole(entry, "reorder_point", at, minimum=0)
            order_up_to = _whole(entry, "order_up_to", at, minimum=1)
            if not reorder < order_up_to:
                at.key("order_up_to").fail(f"expected more than reorder_point ({reorder}), got"
                                           f" {order_up_to}")
        part_cost, order_cost, holding_cost = _prices(entry, _SPARES_COST_KEYS,
                                                      "{part = 1500, order = 0}", at)
        stocks.append(Stock(name, tuple(parts), stock, dict(entry["lead_time"]), reorder,
                            order_up_to, part_cost, order_cost, holding_cost))
    return stocks


def _crews(data: dict, pools: Sequence[Any], where: Where, resolution: int
           ) -> list[CrewLogistics]:
    tables = data.get("crews", {})
    crews = []
    for pool in pools:
        entry = tables.get(pool.name, {}) if isinstance(tables, dict) else {}
        at = where.key("crews").key(pool.name)
        mobilisation = entry.get("mobilisation")
        if mobilisation is not None:
            laws.engine_law(mobilisation, at.key("mobilisation"), resolution)
        per_hour, per_call, standing = _prices(entry, _CREW_COST_KEYS,
                                               "{per_hour = 95, per_call = 300}", at)
        if mobilisation is not None or "cost" in entry:
            crews.append(CrewLogistics(pool.name, dict(mobilisation) if mobilisation else None,
                                       per_hour, per_call, standing))
    return crews


def _prices(entry: dict, keys: Sequence[str], example: str, at: Where) -> tuple[float, ...]:
    """The amounts of `keys` in an entry's `cost` table, each 0 when not given (all 0 without
    the table)."""
    if "cost" not in entry:
        return (0.0,) * len(keys)
    cost = entry["cost"]
    if not isinstance(cost, dict):
        at.key("cost").fail(f"expected a table such as {example}, got {shown(cost)}")
    reject_unknown_keys(cost, keys, at.key("cost"))
    return tuple(_amount(cost, key, at.key("cost")) for key in keys)


def _amount(table: dict, key: str, where: Where) -> float:
    value = read_number(table, key, where, default=0.0)
    if value < 0:
        where.key(key).fail(f"expected an amount of at least 0, got {value:g}")
    return value


def _whole(table: dict, key: str, where: Where, minimum: int) -> int:
    if key not in table:
        where.fail(f'missing "{key}", a whole number of parts')
    value = table[key]
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        where.key(key).fail(f"expected a whole number of at least {minimum}, got {shown(value)}")
    return value
