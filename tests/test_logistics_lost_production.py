"""The cost of lost production ([costs] per_unit_lost): each history's cost is per_unit_lost x
its lost production, so the cost and the production measures come from the same histories; the
expected cost against the closed form of two independent units; the keys it is refused with."""

import copy
import json
import math
import subprocess
import sys

import pytest

import tarvokit
from tarvokit.data.logistics import check_keys, figures_of, logistics_keys
from tarvokit.engine.logistics import COST_KINDS, LogisticsSums
from tarvokit.model.errors import ModelError

# Two trains of 60 t/h for a demand of 100 t/h, a crew that comes after a mobilisation, a
# stock of parts: one train down loses 40 t/h, both 100 t/h.
TRAINS = {
    "study": {"name": "trains", "time_unit": "h", "horizon": 2000, "resolution": 4,
              "capacity_unit": "t/h"},
    "components": {
        "train": {"count": 2, "capacity": 60,
                  "failure": {"law": "Exponential", "mean": 300},
                  "repair": {"law": "Exponential", "mean": 30}},
    },
    "spares": {"parts": {"parts": ["train[*]"], "stock": 1,
                         "lead_time": {"law": "Exponential", "mean": 50},
                         "cost": {"part": 900}}},
    "crews": {"fitters": {"count": 1, "repairs": ["train[*]"],
                          "mobilisation": {"law": "Exponential", "mean": 3},
                          "cost": {"per_hour": 80, "per_call": 200}}},
    "costs": {"currency": "EUR", "system_down_per_hour": 1000, "per_unit_lost": 0.8},
    "system": {"capacity": "sum(train[*])", "demand": 100, "fails_when": "capacity < 60"},
}


def trains(**costs):
    data = copy.deepcopy(TRAINS)
    data["costs"] = {key: value for key, value in {**data["costs"], **costs}.items()
                     if value is not None}
    return data


def run(data, histories=3000, seed=4, threads=2):
    return tarvokit.Model.from_dict(data).run(histories=histories, seed=seed, threads=threads,
                                              progress=False)


@pytest.fixture(scope="module")
def both_costs():
    return run(trains())


def test_the_lost_production_cost_is_per_unit_lost_times_the_reported_lost_production(
        both_costs):
    costs = figures_of(both_costs).costs()
    lost = both_costs.production().lost
    assert lost.estimate > 100  # the histories do lose production
    # The same histories' lost production, each rounded to 2^-16 before it is priced.
    assert costs["lost_production"].estimate == pytest.approx(0.8 * lost.estimate, rel=1e-7)
    assert costs["lost_production"].low < costs["lost_production"].estimate
    assert costs["total"].estimate == pytest.approx(
        sum(costs[kind].estimate for kind in COST_KINDS), rel=1e-12)
    # Both prices hold: the system's downtime is priced besides what it loses.
    system_down = sum(v.estimate for v in figures_of(both_costs).system_downtime().values())
    assert costs["system_downtime"].estimate == pytest.approx(1000 * system_down, rel=1e-9)


@pytest.mark.parametrize("price", [0.8, 37.5])
def test_with_per_unit_lost_alone_the_total_s_interval_is_the_lost_production_s(price):
    data = trains(system_down_per_hour=None, per_unit_lost=price)
    data.pop("spares")
    data["crews"]["fitters"].pop("cost")
    result = run(data, histories=2000, seed=8)
    total = figures_of(result).costs()["total"]
    lost = result.production().lost
    for bound in ("estimate", "low", "high"):
        assert getattr(total, bound) == pytest.approx(price * getattr(lost, bound), rel=1e-7)


def test_two_independent_units_lose_what_the_closed_form_says():
    """Without crews or parts each train is an alternating renewal process with unavailability
    p(t) = a (1 - e^(-s t)), s = lambda + mu, a = lambda / s. One train down loses 40, both
    100: the expected lost rate is 80 p - 80 p^2 + 100 p^2 = 80 p + 20 p^2."""
    horizon, mtbf, mttr, price = 2000, 300.0, 30.0, 2.5
    data = {"study": {"horizon": horizon, "resolution": 20},
            "components": {"train": {"count": 2, "capacity": 60,
                                     "failure": {"law": "Exponential", "mean": mtbf},
                                     "repair": {"law": "Exponential", "mean": mttr}}},
            "costs": {"per_unit_lost": price},
            "system": {"capacity": "sum(train[*])", "demand": 100,
                       "fails_when": "capacity < 60"}}
    s = 1 / mtbf + 1 / mttr
    a = (1 / mtbf) / s
    decay, decay2 = (1 - math.exp(-s * horizon)) / s, (1 - math.exp(-2 * s * horizon)) / (2 * s)
    integral_p = a * (horizon - decay)
    integral_p2 = a * a * (horizon - 2 * decay + decay2)
    expected = price * (80 * integral_p + 20 * integral_p2)
    cost = figures_of(run(data, histories=20_000, seed=21)).costs()["lost_production"]
    assert abs(cost.estimate - expected) < 4.5 * cost.standard_error, (cost, expected)


def test_a_calendar_s_phases_price_the_production_its_demands_lose():
    """With phases the demand follows the calendar: the cost follows the production lost
    against each phase's demand."""
    data = trains(system_down_per_hour=None)
    data["phases"] = {"sequence": ["day", "night"], "day": {"duration": 12},
                      "night": {"duration": 12, "demand": 50}}
    result = run(data, histories=1500, seed=6)
    lost = result.production().lost
    cost = figures_of(result).costs()["lost_production"]
    assert lost.estimate > 10
    assert cost.estimate == pytest.approx(0.8 * lost.estimate, rel=1e-7)


def test_runs_on_disjoint_seeds_combine_into_the_costs_of_one_run(tmp_path):
    study = tarvokit.Model.from_dict(trains())
    whole = study.run(histories=1200, seed=1, threads=2, progress=False)
    parts = [study.run(histories=600, seed=seed, threads=1, progress=False)
             for seed in (1, 601)]
    merged = tarvokit.combine(parts)
    assert merged.distributions.logistics == whole.distributions.logistics
    whole.to_json(tmp_path / "results.json")
    again = tarvokit.data.result.Result.from_json(tmp_path / "results.json")
    assert again.to_dict()["costs"] == whole.to_dict()["costs"]
    assert again.to_dict()["costs"]["by_kind"]["lost_production"]["value"] > 0


def test_results_json_holds_the_kind_and_reads_back_folders_written_without_it(both_costs):
    keys = logistics_keys(both_costs)
    assert list(keys["costs"]["by_kind"]) == list(COST_KINDS)
    data = json.loads(json.dumps(keys))
    check_keys(data, both_costs, "run")
    data["costs"]["by_kind"].pop("lost_production")
    with pytest.raises(Exception, match="costs.by_kind: expected the kinds"):
        check_keys(data, both_costs, "run")
    # A folder of a model without the price, written before the kind existed: its sums have
    # one figure and one cost kind fewer, and its by_kind no lost_production.
    plain = run(trains(per_unit_lost=None), histories=200)
    sums = plain.distributions.logistics.to_dict()
    at = COST_KINDS.index("lost_production")
    for key in ("sums", "squares"):
        assert sums[key][-1] == "0"
        sums[key] = sums[key][:-1]
    for key in ("cost_sums", "cost_squares"):
        assert sums[key][at] == "0"
        sums[key] = sums[key][:at] + sums[key][at + 1:]
    assert LogisticsSums.from_dict(sums) == plain.distributions.logistics
    older = json.loads(json.dumps(logistics_keys(plain)))
    older["costs"]["by_kind"].pop("lost_production")
    check_keys(older, plain, "run")


LOST_BAD = [
    ({"per_unit_lost": -0.5}, True, "costs.per_unit_lost", "at least 0"),
    ({"per_unit_lost": "cheap"}, True, "costs.per_unit_lost", "expected a number"),
    ({"per_unit_lost": True}, True, "costs.per_unit_lost", "expected a number"),
    ({"per_unit_lost": math.inf}, True, "costs.per_unit_lost", "expected a number"),
    ({"per_unit_lost": 0.8}, False, "costs.per_unit_lost", "needs [system] capacity"),
    ({"per_unit_lost": 0}, False, "costs.per_unit_lost", "needs [system] capacity"),
]


@pytest.mark.parametrize("costs, capacity, key, words", LOST_BAD,
                         ids=[f"{c}-{'capacity' if k else 'no capacity'}"
                              for c, k, _, _ in LOST_BAD])
def test_a_bad_per_unit_lost_is_one_line_naming_the_key(costs, capacity, key, words):
    data = trains(**costs)
    if not capacity:
        data["system"] = {"fails_when": "train[1] and train[2]"}
        data["components"]["train"].pop("capacity")
    with pytest.raises(ModelError) as caught:
        tarvokit.Model.from_dict(data)
    message = str(caught.value)
    assert "\n" not in message and f"<dict>: {key}: " in message and words in message


def test_the_command_refuses_per_unit_lost_without_capacity_with_exit_2(tmp_path):
    model = tmp_path / "plant.toml"
    model.write_text('[study]\nhorizon = 100\n[components.u]\nfailure = {law = "Exponential",'
                     ' mean = 50}\nrepair = {law = "Exponential", mean = 5}\n[costs]\n'
                     'per_unit_lost = 3\n[system]\nfails_when = "u"\n')
    done = subprocess.run([sys.executable, "-m", "tarvokit.command", "check", str(model)],
                          capture_output=True, text=True)
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert "costs.per_unit_lost: needs [system] capacity" in done.stderr


def test_the_description_keeps_the_price_and_the_report_shows_the_kind(both_costs):
    from tarvokit.views.logistics_views import logistics_lines

    model = tarvokit.Model.from_dict(trains())
    assert model.description["costs"]["per_unit_lost"] == 0.8
    again = tarvokit.Model.from_dict(copy.deepcopy(model.description))
    assert again.description == model.description
    assert "0.8 per unit of production lost" in model.logistics.text("h")
    lines = logistics_lines(both_costs)
    assert any(line.strip().startswith("lost production: ") for line in lines)
    plain = run(trains(per_unit_lost=None), histories=100)
    assert not any("lost production" in line for line in logistics_lines(plain))


def test_a_sweep_of_the_stock_prices_lost_production_and_marks_the_cheapest():
    from tarvokit.views.sweep_views import summary

    study = tarvokit.Model.from_dict(trains(system_down_per_hour=None, per_unit_lost=40))
    swept = study.sweep(tarvokit.Sweep("spares.parts.stock", (0, 1, 2)), histories=600,
                        seed=3, threads=2)
    costs = [c.estimate for c in swept.costs()]
    lost = [figures_of(r).costs()["lost_production"].estimate for r in swept.results]
    # No part on the shelf: every repair waits for one, and the plant loses more.
    assert lost[0] > lost[1] and lost[0] > lost[2]
    cheapest = swept.cheapest()
    assert costs[cheapest] == min(costs) and cheapest != 0
    marked = [line for line in summary(swept).splitlines() if line.endswith("<- cheapest")]
    assert len(marked) == 1 and marked[0].split()[0] == str((0, 1, 2)[cheapest])


def test_the_command_s_report_and_page_show_the_lost_production_cost(tmp_path):
    model = tmp_path / "trains.toml"
    model.write_text("""
[study]
horizon = 2000
capacity_unit = "t/h"
[components.train]
count = 2
capacity = 60
failure = {law = "Exponential", mean = 300}
repair = {law = "Exponential", mean = 30}
[costs]
per_unit_lost = 0.8
[system]
capacity = "sum(train[*])"
demand = 100
fails_when = "capacity < 60"
""")
    done = subprocess.run([sys.executable, "-m", "tarvokit.command", "run", str(model),
                           "--histories", "300", "--threads", "1", "--no-progress", "--out",
                           str(tmp_path / "out")], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    data = json.loads((tmp_path / "out" / "results.json").read_text())
    lost = data["costs"]["by_kind"]["lost_production"]
    assert lost["value"] == pytest.approx(0.8 * data["production"]["expected_lost"]["estimate"],
                                          rel=1e-7)
    report = (tmp_path / "out" / "report.txt").read_text()
    assert "  lost production: " in report
    page = (tmp_path / "out" / "report.html").read_text()
    assert 'data-key="lost_production"' in page and ">Lost production<" in page
