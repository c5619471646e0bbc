"""An independent, deliberately plain Python model of one tarvo history.

It shares no code with the extension: its own Mersenne Twister, its own laws, its own event
loop and a brute-force structure function (the system is failed when every member of some cut
set is failed). The Python tests run random models through both and compare the series bit for
bit, so every rule of the engine is stated twice, once here and once in C++.

Laws are described as tuples, so that a test can build both the tarvo object and this model's
law from one description:
    ("never",), ("exponential", lam), ("uniform", a, b), ("weibull", lam, k),
    ("inspection", period), ("failure", failure_time)
"""

import math
import struct

NEVER = 2147483647
INT_MIN = -2147483648
WARNING = "Warning: nextTimeDouble is out of bounds: "


class MT19937:
    """Matsumoto and Nishimura's generator with init_genrand seeding (as std::mt19937)."""

    def __init__(self, seed):
        self.state = [seed & 0xFFFFFFFF]
        for i in range(1, 624):
            prev = self.state[-1]
            self.state.append((1812433253 * (prev ^ (prev >> 30)) + i) & 0xFFFFFFFF)
        self.index = 624

    def _twist(self):
        s = self.state
        for i in range(624):
            y = (s[i] & 0x80000000) | (s[(i + 1) % 624] & 0x7FFFFFFF)
            s[i] = s[(i + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
        self.index = 0

    def next_u32(self):
        if self.index >= 624:
            self._twist()
        y = self.state[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y


def to_float32(x):
    """Rounds a double to the nearest single-precision value."""
    return struct.unpack("f", struct.pack("f", x))[0]


BELOW_ONE = to_float32(1.0 - 2.0**-24)  # the largest float below 1


def unit_draw(x):
    """The p handed to a law: float(x) rounded to nearest, times 2^-32, kept below 1; an output
    of 0 gives 2^-33, below every other draw, so that no law is ever asked for p = 0."""
    if x == 0:
        return 2.0**-33
    f = to_float32(float(x)) * 2.0**-32
    return BELOW_ONE if f >= 1.0 else f


def quantile(law, p, time):
    kind = law[0]
    if kind == "never":
        return float(NEVER)
    if kind == "exponential":
        if p < 0.0:
            return float(NEVER)
        return -math.log(1.0 - p) / law[1]
    if kind == "uniform":
        a, b = law[1], law[2]
        if p < 0.0 or p > 1.0:
            return float(NEVER)
        return a + p * (b - a)
    if kind == "weibull":
        lam, k = law[1], law[2]
        if p < 0.0 or p > 1.0:
            return float(NEVER)
        return lam * math.pow(-math.log(1.0 - p), 1.0 / k)
    if kind == "inspection":
        period = law[1]
        following = (time // period + 1) * period
        return 0.0 if time >= following else float(following - time)
    if kind == "failure":
        if p < 0.0 or p > 1.0:
            return float(NEVER)
        return float(law[1] - time)
    raise ValueError(f"unknown law {law!r}")


def to_delay(q):
    """Truncation toward zero; NaN and values above the int range never fire, values below
    it are as overdue as an int can be."""
    if math.isnan(q) or q >= 2147483648.0:
        return NEVER
    if q <= -2147483649.0:
        return INT_MIN
    return int(q)


def format_g(x):
    """A double as C++ streams print it by default (six significant digits, %g)."""
    return "nan" if math.isnan(x) else "%g" % x


def system_failed(cutsets, failed):
    return any(all(failed[i] for i, member in enumerate(cs) if member) for cs in cutsets)


def simulate(sim_time, model, cutsets, seed, within=None):
    """One history. model[c][s][k] is a law tuple. Returns (series, log, console lines). A list
    given as `within` gets, per logged event, whether its delay was drawn after an event as a
    positive delay shorter than one time unit (it fires in the unit it was drawn in)."""
    rng = MT19937(seed)
    n_components = len(model)
    n_states = len(model[0])
    states = [0] * n_components
    # Pending transition per component: [delay from now, state sampled from, target]
    pending = [[NEVER, 0, 0] for _ in range(n_components)]
    short = [False] * n_components  # first draws count as drawn before every event
    series = [0] * sim_time
    log = []
    lines = []
    now = 0
    system = 0

    def sample(c, s, k):
        p = unit_draw(rng.next_u32())
        return p, quantile(model[c][s][k], p, now)

    for c in range(n_components):
        for k in range(n_states):
            p, q = sample(c, 0, k)
            if not (0.0 <= q <= 2147483647.0):
                lines.append(f"{WARNING}{format_g(q)}  {format_g(p)}")
                continue
            if int(q) < pending[c][0]:
                pending[c] = [int(q), 0, k]

    while now < sim_time:
        # Overdue transitions count as due now; the last overdue one in index order goes first,
        # otherwise the first of the earliest.
        overdue = [c for c in range(n_components) if pending[c][0] < 0]
        for c in overdue:
            pending[c][0] = 0
        if overdue:
            row = overdue[-1]
        else:
            row = min(range(n_components), key=lambda c: (pending[c][0], c))
        best = pending[row][0]
        if best == NEVER or now + best >= sim_time:
            series[now:] = [system] * (sim_time - now)
            break
        series[now:now + best] = [system] * best
        now += best
        _, prev_state, next_state = pending[row]
        states[row] = next_state
        log.append((now, prev_state, next_state, row))
        if within is not None:
            within.append(short[row])
        system = 1 if system_failed(cutsets, [s != 0 for s in states]) else 0
        series[now] = system
        for entry in pending:
            entry[0] -= best
        pending[row] = [NEVER, next_state, 0]
        short[row] = False
        for k in range(n_states):
            _, q = sample(row, next_state, k)
            delay = to_delay(q)
            if delay < pending[row][0]:
                pending[row] = [delay, next_state, k]
                short[row] = 0.0 < q < 1.0
    return series, log, lines
