"""Cut sets as sets of component indices: names to indices, lists of names, minimality."""

from __future__ import annotations

from typing import Sequence

from ..errors import Where, close_match_hint, shortened, shown

CutSet = frozenset[int]

# Logic of more cut sets than this is refused: SCRAM takes minutes past a few hundred thousand
# (an atleast(11, ...) of 22 units, 705,432 sets, took 280 s), and every set is held by the
# model, its description and the engine's tree.
MAX_CUT_SETS = 200_000
_NAMES_SHOWN = 5  # cut sets listed in a warning


# --- Component names ----------------------------------------------------------------------


def expand_name(name: str, names: Sequence[str], where: Where) -> list[int]:
    """Indices of a component name, or of every unit of a template for `template[*]`."""
    if name.endswith("[*]"):
        prefix = name[:-3] + "["
        units = [i for i, candidate in enumerate(names) if candidate.startswith(prefix)]
        if not units:
            where.fail(f'"{shortened(name)}": no component template "{shortened(name[:-3])}"')
        return units
    if name not in names:
        where.fail(f'unknown component "{shortened(name)}"{close_match_hint(name, names)}')
    return [names.index(name)]


def cut_sets_from_names(sets: object, names: Sequence[str], where: Where,
                        notes: list[str] | None = None) -> list[CutSet]:
    """The `cut_sets` form: a list of lists of component names, duplicates removed and sets
    that contain another dropped (a note in `notes` lists them)."""
    if not isinstance(sets, list) or not sets:
        where.fail('expected a non-empty list of cut sets, each a list of component names,'
                   ' such as [["power"], ["pump[1]", "pump[2]"]]')
    result: dict[CutSet, None] = {}  # ordered, without duplicates
    for index, members in enumerate(sets):
        at = where.item(index)
        if not isinstance(members, list) or not members:
            at.fail(f"expected a non-empty list of component names, got {shown(members)}")
        indices: set[int] = set()
        for position, name in enumerate(members):
            if not isinstance(name, str):
                at.item(position).fail(f"expected a component name, got {shown(name)}")
            indices.update(expand_name(name, names, at.item(position)))
        result[frozenset(indices)] = None
    minimal, dropped = minimal_cut_sets(list(result))
    if dropped and notes is not None:
        notes.append(_dropped_note(dropped, names, where))
    return minimal


def minimal_cut_sets(sets: Sequence[CutSet]) -> tuple[list[CutSet], list[tuple[CutSet, CutSet]]]:
    """The sets that contain no other one, in their order, and (dropped set, a set it
    contains) for the others. Distinct sets are expected.

    A set S contains a smaller set T only if S holds T's smallest member, so each set is
    compared with the kept sets indexed under its own members, not with every kept set.
    """
    kept_by_least: dict[int, list[CutSet]] = {}
    dropped: dict[CutSet, CutSet] = {}
    for candidate in sorted(sets, key=len):
        inside = next((kept for member in candidate for kept in kept_by_least.get(member, ())
                       if kept <= candidate), None)
        if inside is None:
            kept_by_least.setdefault(min(candidate), []).append(candidate)
        else:
            dropped[candidate] = inside
    return ([s for s in sets if s not in dropped],
            [(s, dropped[s]) for s in sets if s in dropped])


def _dropped_note(dropped: list[tuple[CutSet, CutSet]], names: Sequence[str],
                  where: Where) -> str:
    listed = "; ".join(f"{{{describe_members(s, names)}}} contains {{{describe_members(t, names)}}}"
                       for s, t in dropped[:_NAMES_SHOWN])
    more = f"; and {len(dropped) - _NAMES_SHOWN:,} more" if len(dropped) > _NAMES_SHOWN else ""
    return (f"{where.path}: {len(dropped):,} cut set{'s are' if len(dropped) > 1 else ' is'} not"
            f" minimal and {'were' if len(dropped) > 1 else 'was'} dropped (the smaller set"
            f" already fails the system): {listed}{more}")


def describe_members(cut_set: CutSet, names: Sequence[str]) -> str:
    return ", ".join(names[i] for i in sorted(cut_set))


def components_in_no_cut_set(cut_sets: Sequence[CutSet], components: int) -> list[int]:
    used = set().union(*cut_sets) if cut_sets else set()
    return [i for i in range(components) if i not in used]


def describe_cut_set(cut_set: CutSet, names: Sequence[str]) -> str:
    return " AND ".join(names[i] for i in sorted(cut_set))
