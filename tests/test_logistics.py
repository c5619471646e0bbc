"""Spare parts, logistic delays, crews' mobilisation, ageing repairs and costs: against theory
(minimal repair and the power-law process, Palm's theorem), against the engine without them
(bit for bit), the costs against the measures they are made of, and the bad keys."""

import copy
import json
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tarvo
import tarvokit
from tarvokit.data.files import ResultError
from tarvokit.data.logistics import figures_of
from tarvokit.engine.build import engine_inputs
from tarvokit.engine.logistics import COST_KINDS, figure_layout, priced_kinds
from tarvokit.views.report import extra_sections
from tarvokit.engine.markov import build_chain
from tarvokit.model.errors import ModelError

ROOT = Path(__file__).resolve().parent.parent
PLANT = {
    "study": {"name": "plant", "time_unit": "h", "horizon": 4000, "resolution": 4},
    "components": {
        "pump": {"count": 3, "failure": {"law": "Weibull", "scale": 2000, "shape": 2.2},
                 "repair": {"law": "Exponential", "mean": 24,
                            "delay": {"law": "Uniform", "low": 2, "high": 8},
                            "restoration": 0.5, "ageing": "kijima1"},
                 "age": 500, "cost": {"repair": 4000, "per_hour_down": 10}},
        "valve": {"failure": {"law": "Exponential", "mean": 8000},
                  "repair": {"law": "Lognormal", "median": 6, "error_factor": 3}},
    },
    "spares": {"pump_parts": {"parts": ["pump[*]"], "stock": 1,
                              "lead_time": {"law": "Lognormal", "median": 120,
                                            "error_factor": 2},
                              "cost": {"part": 900, "order": 50, "holding_per_hour": 2}}},
    "crews": {"mechanics": {"count": 1, "repairs": ["pump[*]", "valve"],
                            "mobilisation": {"law": "Exponential", "mean": 4},
                            "cost": {"per_hour": 95, "per_call": 300,
                                     "standing_per_hour": 3}}},
    "costs": {"currency": "EUR", "system_down_per_hour": 12000},
    "system": {"fails_when": "valve or atleast(2, pump[*])"},
}


def runner(data, histories=2000, seed=1, threads=1):
    """The engine's figures of `histories` histories of a model dict."""
    model = tarvokit.Model.from_dict(copy.deepcopy(data))
    inputs = engine_inputs(model.description)
    return model, tarvo.runnerStudy(inputs.laws, inputs.tree, inputs.steps, histories, seed,
                                    threads, inputs.steps_per_unit, **inputs.extra)


def figure_means(model, figures):
    """Mean per history of every logistic figure, in engine steps or counts."""
    sums = figures["logistics"]
    return np.array(sums["sums"], dtype=float) / (2 ** sums["scale_bits"] * sums["histories"])


# --- Bit for bit: what changes nothing draws nothing -------------------------------------


def weibull_unit(**repair):
    return {"study": {"horizon": 3000, "resolution": 6},
            "components": {"u": {"count": 2,
                                 "failure": {"law": "Weibull", "scale": 400, "shape": 2.5},
                                 "repair": {"law": "Uniform", "low": 5, "high": 30, **repair}}},
            "system": {"fails_when": "u[1] and u[2]"}}


@pytest.mark.parametrize("change", [
    {"repair": {"restoration": 1}},
    {"repair": {"restoration": 1, "ageing": "kijima2"}},
    {"costs": {"system_down_per_hour": 5}},
    {"age": 0, "cost": {"repair": 100}},
], ids=["restoration 1", "kijima2 restoration 1", "costs", "age 0"])
def test_renewal_is_today_s_engine_bit_for_bit(change):
    plain = weibull_unit()
    changed = weibull_unit(**change.get("repair", {}))
    for key in ("age", "cost"):
        if key in change:
            changed["components"]["u"][key] = change[key]
    if "costs" in change:
        changed["costs"] = change["costs"]
    _, before = runner(plain, 3000, seed=7)
    model, after = runner(changed, 3000, seed=7)
    assert "logistics" not in before and "logistics" in after
    for key in ("failed_steps_per_unit", "failed_steps_histogram", "failures_histogram"):
        np.testing.assert_array_equal(before[key], after[key])
    assert before["failed_steps_sum_of_squares"] == after["failed_steps_sum_of_squares"]


def test_runs_repeat_from_the_seed_on_any_number_of_threads():
    _, one = runner(PLANT, 600, seed=11, threads=1)
    _, two = runner(PLANT, 600, seed=11, threads=2)
    assert one["logistics"] == two["logistics"]
    np.testing.assert_array_equal(one["failed_steps_per_unit"], two["failed_steps_per_unit"])


# --- Against theory -------------------------------------------------------------------------


@pytest.mark.parametrize("ageing", ["kijima1", "kijima2"])
def test_minimal_repair_follows_the_power_law_process(ageing):
    """Restoration 0 ("as bad as old") with repairs of a step or two: the failures over an
    operating time t are a Poisson process of mean (t / scale)^shape."""
    scale, shape, horizon = 1000.0, 2.0, 3000
    data = {"study": {"horizon": horizon, "resolution": 10},
            "components": {"u": {"failure": {"law": "Weibull", "scale": scale, "shape": shape},
                                 "repair": {"law": "Uniform", "low": 0.1, "high": 0.2,
                                            "restoration": 0, "ageing": ageing}}},
            "costs": {},
            "system": {"fails_when": "u"}}
    histories = 4000
    model, figures = runner(data, histories)
    layout = figure_layout(model.description)
    sums = figures["logistics"]
    one = 2.0 ** -sums["scale_bits"]
    at = layout.component(0, "failures")
    failures = np.array(sums["sums"][at]) * one / histories
    spread = sums["squares"][at] * one * one / histories - failures ** 2
    error = math.sqrt(spread / histories)
    down = figures["failed_steps_sum"] / histories / 10
    expected = ((horizon - down) / scale) ** shape
    assert abs(failures - expected) < 4.5 * error, (failures, expected, error)
    # Renewal would give far fewer: (t / scale)^shape is the most a unit of this law can fail.
    assert expected > 8.5


def test_an_aged_unit_survives_as_its_law_conditioned_on_its_age():
    scale, shape, age, horizon = 500.0, 3.0, 400.0, 200
    data = {"study": {"horizon": horizon, "resolution": 4},
            "components": {"u": {"failure": {"law": "Weibull", "scale": scale, "shape": shape},
                                 # never within one step: that failure would leave no trace
                                 "repair": {"law": "Uniform", "low": 1, "high": 2},
                                 "age": age}},
            "system": {"fails_when": "u"}}
    result = tarvokit.Model.from_dict(data).run(histories=20000, seed=3, threads=1,
                                                progress=False)
    survival = math.exp(-((age + horizon) / scale) ** shape + (age / scale) ** shape)
    reliability = result.measures().reliability
    assert abs(reliability.estimate - survival) < 4.5 * reliability.standard_error
    # Without its age the unit would survive the horizon with chance 0.94.
    assert survival < 0.3


def palm(mean_on_order, stock):
    """Palm: parts on order are Poisson(mean); a demand finds the shelf empty when at least
    `stock` are on order; the shelf holds max(stock - on order, 0)."""
    p = [math.exp(-mean_on_order) * mean_on_order ** k / math.factorial(k) for k in range(stock)]
    return 1 - sum(p), sum((stock - k) * pk for k, pk in enumerate(p))


@pytest.mark.parametrize("lead_time, mean_lead", [
    ({"law": "Exponential", "mean": 100}, 100.0),
    ({"law": "Uniform", "low": 60, "high": 140}, 100.0),
    ({"law": "Lognormal", "median": 80, "error_factor": 2.5}, 80 * math.exp(
        (math.log(2.5) / 1.6448536269514722) ** 2 / 2)),
], ids=["Exponential", "Uniform", "Lognormal"])
@pytest.mark.parametrize("stock", [1, 2])
def test_one_for_one_spares_follow_palm(lead_time, mean_lead, stock):
    """Many units failing rarely make a Poisson demand; Palm's theorem then holds for any
    lead-time law: the parts on order are Poisson with mean (demand rate x mean lead time)."""
    resolution, horizon = 4, 30000
    data = {"study": {"horizon": horizon, "resolution": resolution},
            "components": {"u": {"count": 40,
                                 "failure": {"law": "Exponential", "mean": 4000},
                                 "repair": {"law": "Uniform", "low": 0.25, "high": 0.5}}},
            "spares": {"s": {"parts": ["u[*]"], "stock": stock, "lead_time": lead_time}},
            "system": {"fails_when": "atleast(40, u[*])"}}
    model, figures = runner(data, 200)
    layout = figure_layout(model.description)
    means = figure_means(model, figures)
    demands = means[layout.stock(0, "demands")]
    # Delays are whole steps, truncated: half a step off the mean lead time.
    on_order = demands / horizon * (mean_lead - 0.5 / resolution)
    stock_out, on_shelf = palm(on_order, stock)
    found_out = means[layout.stock(0, "stock_outs")] / demands
    found_shelf = means[layout.stock(0, "shelf_steps")] / (horizon * resolution)
    # 200 histories of 300 lead times each: the start (a full shelf, nothing on order) and the
    # noise stay within 2 % of the figures.
    assert found_out == pytest.approx(stock_out, rel=0.03, abs=0.003)
    assert found_shelf == pytest.approx(on_shelf, rel=0.02)


def test_an_s_S_policy_orders_batches_up_to_S():
    data = copy.deepcopy(PLANT)
    data["spares"]["pump_parts"].update({"reorder_point": 0, "order_up_to": 3})
    model, figures = runner(data, 1000)
    layout = figure_layout(model.description)
    means = figure_means(model, figures)
    orders = means[layout.stock(0, "orders")]
    assert 0 < orders < means[layout.stock(0, "demands")]
    assert means[layout.stock(0, "parts_ordered")] >= 3 * orders


def test_a_standby_unit_keeps_its_running_age_across_short_spells():
    """A Weibull spare that runs in spells of about an hour: kept, its running age reaches the
    wear-out of its law (about one failure per 89 h of running); drawn afresh at every start it
    would almost never fail (a spell of 1 h fails with chance 1e-6)."""
    data = {"study": {"horizon": 8760, "resolution": 4},
            "components": {
                "duty": {"failure": {"law": "Exponential", "mean": 10},
                         "repair": {"law": "Uniform", "low": 0.5, "high": 1.5}},
                "spare": {"failure": {"law": "Weibull", "scale": 100, "shape": 3},
                          "repair": {"law": "Uniform", "low": 0.5, "high": 1.5},
                          "standby": {"covers": ["duty"]}}},
            "costs": {},
            "system": {"fails_when": "duty and spare"}}
    model, figures = runner(data, 200)
    means = figure_means(model, figures)
    layout = figure_layout(model.description)
    running = 8760 / 11  # about an hour of running per 11 h cycle of the duty unit
    failures = means[layout.component(1, "failures")]
    assert 0.6 * running / 89 < failures < 1.4 * running / 89


# --- Measures and costs ----------------------------------------------------------------------


@pytest.fixture(scope="module")
def plant_result():
    return tarvokit.Model.from_dict(copy.deepcopy(PLANT)).run(histories=3000, seed=5,
                                                              threads=2, progress=False)


def test_costs_are_the_linear_combination_of_the_measures(plant_result):
    found = figures_of(plant_result)
    costs = found.costs()
    system = found.system_downtime()
    components = found.components()
    stock = found.stocks()["pump_parts"]
    crew = found.crews()["mechanics"]
    pumps = [name for name in components if name.startswith("pump")]
    expected = {
        "system_downtime": 12000 * sum(v.estimate for v in system.values()),
        "repairs": sum(4000 * components[p]["repairs"].estimate
                       + 10 * sum(v.estimate for v in components[p]["downtime"].values())
                       for p in pumps),
        "crews": (95 * crew["busy_hours"].estimate + 300 * crew["calls"].estimate
                  + 3 * 1 * 4000),
        "parts": (900 * stock["parts_ordered"].estimate + 50 * stock["orders"].estimate
                  + 2 * 4000 * stock["mean_on_shelf"].estimate),
    }
    for kind, value in expected.items():
        assert costs[kind].estimate == pytest.approx(value, rel=1e-9)
        assert costs[kind].low < costs[kind].estimate < costs[kind].high
    assert costs["total"].estimate == pytest.approx(sum(expected.values()), rel=1e-9)


def test_the_system_downtime_by_cause_adds_up_to_the_downtime(plant_result):
    found = figures_of(plant_result)
    causes = found.system_downtime()
    assert sum(v.estimate for v in causes.values()) == pytest.approx(
        plant_result.downtime().estimate, rel=1e-6)
    assert causes["planned"].estimate == 0  # until the calendar gives planned downtime
    for name, entry in found.components().items():
        assert entry["failures"].estimate >= entry["repairs"].estimate
        assert entry["repairs"].estimate > entry["failures"].estimate - 1
        assert sum(v.estimate for v in entry["downtime"].values()) < 4000
    # Pumps wait for the delay, the crew and parts; the valve for no part and no delay.
    assert found.components()["valve"]["downtime"]["part"].estimate == 0
    assert 0 < found.crews()["mechanics"]["utilisation"] < 1


def test_results_json_round_trip_and_refuses_altered_figures(plant_result, tmp_path):
    plant_result.to_json(tmp_path / "results.json")
    plant_result.to_csv(tmp_path / "curve.csv")
    again = tarvokit.read(tmp_path)
    assert again.distributions.logistics == plant_result.distributions.logistics
    data = json.loads((tmp_path / "results.json").read_text())
    assert data["costs"]["currency"] == "EUR"
    alterations = [
        (("costs", "total", "value"), 1.0, "costs.total"),
        (("costs", "by_kind", "parts", "value"), -5, "costs.by_kind.parts"),
        (("logistics", "stocks", "pump_parts", "stock_out_chance"), 0.5,
         "logistics.stocks.pump_parts.stock_out_chance"),
        (("logistics", "downtime_by_cause", "system", "crew", "value"), "x",
         "logistics.downtime_by_cause.system.crew"),
        (("logistics", "components", "pump[2]", "failures", "value"), 0.5,
         "logistics.components.pump[2].failures"),
        (("logistics", "components", "pump[2]", "failures", "value"),
         data["logistics"]["components"]["pump[2]"]["failures"]["low"],
         "logistics.components.pump[2].failures.value: .* is not what the result's sums give"),
        (("logistics", "crews", "mechanics", "calls", "low"), 1e9,
         "logistics.crews.mechanics.calls"),
    ]
    for path, value, named in alterations:
        altered = copy.deepcopy(data)
        entry = altered
        for key in path[:-1]:
            entry = entry[key]
        entry[path[-1]] = value
        (tmp_path / "results.json").write_text(json.dumps(altered))
        with pytest.raises(ResultError, match=named.replace("[", r"\[")):
            tarvokit.read(tmp_path)
    sums = data["distributions"]["logistics"]
    for key, value, named in [("sums", sums["sums"][:-1], "distributions.logistics.sums"),
                              ("histories", 7, "distributions.logistics.histories"),
                              ("cost_sums", sums["cost_sums"][:2],
                               "distributions.logistics.cost_sums")]:
        altered = copy.deepcopy(data)
        altered["distributions"]["logistics"][key] = value
        (tmp_path / "results.json").write_text(json.dumps(altered))
        with pytest.raises(ResultError, match=named):
            tarvokit.read(tmp_path)
    del data["costs"]
    (tmp_path / "results.json").write_text(json.dumps(data))
    with pytest.raises(ResultError, match="costs: missing"):
        tarvokit.read(tmp_path)


def test_the_report_shows_downtime_by_cause_and_costs(plant_result):
    report = tarvokit.summary(plant_result)
    for line in ("system, waiting for a part:", "Spares pump_parts:", "Crews mechanics (1):",
                 "Expected cost over 4,000 h in EUR:", "crew hours and calls:"):
        assert line in report


def without(*paths):
    data = copy.deepcopy(PLANT)
    for path in paths:
        entry = data
        for key in path[:-1]:
            entry = entry[key]
        del entry[path[-1]]
    return data


@pytest.mark.parametrize("unpriced, kinds", [
    ((), ["system_downtime", "repairs", "crews", "parts"]),
    ((("costs", "system_down_per_hour"),), ["repairs", "crews", "parts"]),
    ((("components", "pump", "cost"),), ["system_downtime", "crews", "parts"]),
    ((("spares", "pump_parts", "cost"), ("crews", "mechanics", "cost")),
     ["system_downtime", "repairs"]),
])
def test_only_the_kinds_a_model_prices_are_reported(unpriced, kinds):
    data = without(*unpriced)
    description = tarvokit.Model.from_dict(copy.deepcopy(data)).description
    assert priced_kinds(description) == kinds
    every_kind = {kind: {"value": 1.0, "low": 0.5, "high": 1.5} for kind in COST_KINDS}
    page = extra_sections({"costs": {"currency": "EUR", "by_kind": every_kind,
                                     "total": every_kind["parts"]}}, description)
    assert [kind for kind in COST_KINDS if f'data-key="{kind}"' in page] == kinds
    report = tarvokit.summary(tarvokit.Model.from_dict(data).run(histories=200, seed=3,
                                                                 progress=False))
    costs = report[report.index("Expected cost over"):].splitlines()
    shown = [line.split(":")[0].strip() for line in costs[1:] if line.startswith("  ")]
    names = {"system_downtime": "system downtime", "repairs": "repairs",
             "crews": "crew hours and calls", "parts": "spare parts"}
    assert shown[:len(kinds) + 1] == [names[kind] for kind in kinds] + ["total"]


# --- Bad keys --------------------------------------------------------------------------------


def with_change(path, value):
    data = copy.deepcopy(PLANT)
    entry = data
    for key in path[:-1]:
        entry = entry.setdefault(key, {})
    entry[path[-1]] = value
    return data


BAD = [
    (("spares", "more", ), {"parts": ["pump[1]"], "stock": 1,
                            "lead_time": {"law": "Exponential", "mean": 5}},
     "spares.more.parts", "already takes its parts from spares.pump_parts"),
    (("spares", "pump_parts", "stock"), -1, "spares.pump_parts.stock", "at least 0"),
    (("spares", "pump_parts", "stock"), 1.5, "spares.pump_parts.stock", "whole number"),
    (("components", "pump", "repair", "restoration"), 1.5,
     "components.pump.repair.restoration", "from 0"),
    (("components", "pump", "repair", "restoration"), -0.1,
     "components.pump.repair.restoration", "from 0"),
    (("components", "pump", "repair", "ageing"), "kijima3", "components.pump.repair.ageing",
     "unknown ageing model"),
    (("components", "pump", "age"), -3, "components.pump.age", "at least 0"),
    (("components", "pump", "cost", "repair"), -1, "components.pump.cost.repair",
     "at least 0"),
    (("components", "pump", "cost", "spare"), 1, "components.pump.cost.spare", "unknown key"),
    (("spares", "pump_parts", "reorder_point"), 2, "spares.pump_parts",
     "both \"reorder_point\" and \"order_up_to\""),
    (("spares", "pump_parts", "lead_time"), {"law": "Lognormal", "median": 5,
                                             "error_factor": 0.5},
     "spares.pump_parts.lead_time.error_factor", "above 1"),
    (("spares", "pump_parts", "lead_time"), {"law": "Lognormal", "median": 5, "sd": 1},
     "spares.pump_parts.lead_time.sd", "goes with \"mean\""),
    (("spares", "pump_parts", "parts"), ["pomp[*]"], "spares.pump_parts.parts[0]",
     "no component template"),
    (("crews", "mechanics", "cost", "per_hour"), "a lot", "crews.mechanics.cost.per_hour",
     "expected a number"),
    (("crews", "mechanics", "mobilisation"), {"law": "Exponential"},
     "crews.mechanics.mobilisation", "needs exactly one of"),
    (("costs", "system_down_per_hour"), -5, "costs.system_down_per_hour", "at least 0"),
    (("costs", "price"), 5, "costs.price", "unknown key"),
]


@pytest.mark.parametrize("path, value, key, words", BAD, ids=[b[2] for b in BAD])
def test_bad_keys_are_one_line_naming_the_key(path, value, key, words):
    with pytest.raises(ModelError) as caught:
        tarvokit.Model.from_dict(with_change(path, value))
    message = str(caught.value)
    assert "\n" not in message
    assert f"<dict>: {key}:" in message
    assert words in message


def test_ageing_an_exponential_law_warns_that_it_changes_nothing():
    data = copy.deepcopy(PLANT)
    data["components"]["valve"]["repair"]["restoration"] = 0.3
    with pytest.warns(UserWarning, match="components.valve: an Exponential failure law has no"
                                         " memory"):
        tarvokit.Model.from_dict(data)


def test_the_command_refuses_a_bad_key_in_one_line(tmp_path):
    model = tmp_path / "bad.toml"
    text = ((ROOT / "examples" / "logistics_plant.toml").read_text(encoding="utf-8")
            .replace('ageing = "kijima1"', 'ageing = "kijima9"'))
    model.write_text(text)
    done = subprocess.run([sys.executable, "-m", "tarvokit.command", "check", str(model)],
                          capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1
    assert "components.pump.repair.ageing: unknown ageing model 'kijima9'" in done.stderr


def test_the_description_reads_back_to_the_same_model():
    model = tarvokit.Model.from_dict(copy.deepcopy(PLANT))
    again = tarvokit.Model.from_dict(model.description)
    assert again.description == model.description
    assert again.logistics == model.logistics


# --- The exact answer ------------------------------------------------------------------------

TWO_PUMPS = {"study": {"name": "two pumps", "time_unit": "h", "horizon": 2000, "resolution": 60},
             "components": {"pump": {"count": 2,
                                     "failure": {"law": "Exponential", "mean": 300},
                                     "repair": {"law": "Exponential", "mean": 10,
                                                "delay": {"law": "Exponential", "mean": 3}}}},
             "spares": {"parts": {"parts": ["pump[*]"], "stock": 1,
                                  "lead_time": {"law": "Exponential", "mean": 60}}},
             "crews": {"fitters": {"count": 1, "repairs": ["pump[*]"],
                                   "mobilisation": {"law": "Exponential", "mean": 5}}},
             "system": {"fails_when": "pump[1] and pump[2]"}}


def two_pumps(stock=1, crews=1, delay=True):
    data = copy.deepcopy(TWO_PUMPS)
    data["spares"]["parts"]["stock"] = stock
    data["crews"]["fitters"]["count"] = crews
    if not delay:
        del data["components"]["pump"]["repair"]["delay"]
    return data


@pytest.mark.parametrize("data", [two_pumps(), two_pumps(stock=0), two_pumps(crews=2),
                                  two_pumps(delay=False)],
                         ids=["stock 1", "stock 0", "two crews", "no delay"])
def test_the_markov_chain_agrees_with_the_simulation(data):
    study = tarvokit.Model.from_dict(data)
    exact = study.markov().answer
    result = study.run(histories=20000, seed=1, threads=2, progress=False)
    mean, frequency = result.mean(), result.measures().failure_frequency
    assert abs(mean.deviation(exact.mean_unavailability)) < 4.5
    assert abs(frequency.deviation(exact.failure_frequency)) < 4.5


def test_the_markov_chain_holds_the_parts_on_order():
    chain = build_chain(tarvokit.Model.from_dict(two_pumps()).description)
    texts = [chain.state_text(i) for i in range(chain.size)]
    assert any("0 on the shelf, 2 on order" in text for text in texts)
    assert any("pump[2] awaiting a part" in text for text in texts)


def test_the_markov_chain_refuses_an_s_S_policy_naming_the_key():
    data = two_pumps()
    data["spares"]["parts"].update({"reorder_point": 0, "order_up_to": 2})
    with pytest.raises(ModelError, match=r"spares\.parts\.reorder_point: the exact Markov"
                                         " answer takes one-for-one stocks only"):
        tarvokit.Model.from_dict(data).markov()


# --- Sweeps ----------------------------------------------------------------------------------


def test_a_sweep_of_the_stock_marks_the_cheapest_with_its_paired_difference():
    from tarvokit.views.sweep_views import summary

    study = tarvokit.Model.from_dict(copy.deepcopy(PLANT))
    swept = study.sweep(tarvokit.Sweep("spares.pump_parts.stock", (0, 1, 3)), histories=1000,
                        seed=2, threads=2)
    costs = [c.estimate for c in swept.costs()]
    cheapest, following = swept.cheapest(), swept.next_cheapest()
    assert costs[cheapest] == min(costs) and following != cheapest
    assert costs[following] == sorted(costs)[1]
    difference = swept.cost_difference(following, cheapest)
    assert difference.estimate == pytest.approx(costs[following] - costs[cheapest], rel=1e-9)
    # No spare at all: the pumps wait for every part, and the plant pays for it.
    assert cheapest != 0
    text = summary(swept)
    marked = [line for line in text.splitlines() if line.endswith("<- cheapest")]
    assert len(marked) == 1 and marked[0].split()[0] == str((0, 1, 3)[cheapest])
    assert "Cheapest: spares.pump_parts.stock =" in text
    assert swept.to_dict()["values"][cheapest]["cost"]["estimate"] == pytest.approx(costs[cheapest])


def test_a_sweep_without_costs_has_no_cost_column():
    from tarvokit.views.sweep_views import summary

    swept = tarvokit.Model.from_dict(weibull_unit()).sweep(
        tarvokit.Sweep("components.u.repair.high", (30, 40)), histories=400, threads=1)
    assert not swept.has_costs
    assert "expected cost" not in summary(swept)


def test_units_sharing_a_stock_interact_for_importance():
    from tarvokit.engine.dependencies import interacting

    data = copy.deepcopy(PLANT)
    del data["crews"]
    found = interacting(tarvokit.Model.from_dict(data).description)
    assert found == {"pump[1]", "pump[2]", "pump[3]"}
