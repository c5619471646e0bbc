"""The system's failure logic: minimal cut sets over the components.

A model gives it in one of three ways:
- `cut_sets`: lists of component names; sets that contain another are dropped (with a warning);
- `fails_when`: a Boolean expression over component names with `and`, `or`, parentheses and
  k-out-of-n (`atleast(2, a, b, c)`; `pump[*]` stands for every unit of a template there);
- `fault_tree`: an Open-PSA MEF file whose basic events are the components.
An expression is written out as an Open-PSA MEF model and a fault tree is read as it is; SCRAM
(the `scram` program) reduces either to minimal cut sets. Cut sets are frozensets of component
indices.

Open-PSA names cannot hold brackets, so a fault tree names unit `pump[1]` of a template as
`pump_1` or `pump-1` (a component whose own name is `pump_1` would make that ambiguous: refused).

What SCRAM is given is bounded. The number of cut sets an expression or tree implies is counted
first where that is cheap (binomial coefficients through and, or and atleast: exact when every
component appears once, an upper bound otherwise), and logic of more than MAX_CUT_SETS cut sets
is refused. SCRAM itself runs under a time limit and a memory limit (ScramLimits, from the
environment variables TARVO_SCRAM_SECONDS and TARVO_SCRAM_MEMORY_MB); it is ended on every way
out of the call, dies with this process, and works in a temporary folder `tarvo-scram-<pid>-*`
that is removed afterwards (or at the next call, if this process was killed).

Only coherent logic is taken: a failure of one more component never repairs the system. A fault
tree with a negation (not, nand, nor, xor, iff, imply) is refused naming the gate, and one whose
top gate does not depend on the components (house events or constants that make it always
failed or never failed) naming the gate where that happens.

The code is split by concern: cut_sets (names, lists, minimality), formulas (formulas, their
count, small reductions), expression (the parser), reduction (a formula to cut sets, here or by
SCRAM), fault_tree (the Open-PSA reader) and scram (the bounded process and its report). Every
name is importable from here.
"""

from __future__ import annotations

from ..errors import ModelError, Where
from .cut_sets import (MAX_CUT_SETS, CutSet, components_in_no_cut_set, cut_sets_from_names,
                       describe_cut_set, describe_members, expand_name, minimal_cut_sets)
from .expression import MAX_NESTING, cut_sets_of_expression, parse_expression
from .fault_tree import cut_sets_of_fault_tree
from .formulas import (MAX_VOTE_EXPANSION, Constant, Count, Event, Formula, Gate,
                       count_cut_sets, joined, reduced_cut_sets, refuse_too_many, vote,
                       without_overlapping_votes)
from .reduction import REDUCED_HERE_UP_TO, cut_sets_of_formula, expression_model_xml
from .scram import ScramLimits, remove_stale_scram_folders, run_scram, scram_report

__all__ = ["CutSet", "MAX_CUT_SETS", "ModelError", "ScramLimits", "cut_sets_from_names",
           "cut_sets_of_expression", "cut_sets_of_fault_tree", "components_in_no_cut_set",
           "count_cut_sets", "describe_cut_set", "minimal_cut_sets",
           "remove_stale_scram_folders"]
