"""What to simulate: model files and dicts read and checked, described as plain data, and their
sweep variants. Nothing here runs the engine."""

from .errors import ModelError, ModelWarning, Where
from .reading import DEFAULT_RESOLUTION, Component, Model, Transition, load, variants
from .variants import Sweep, parse_sweep_option

__all__ = ["DEFAULT_RESOLUTION", "Component", "Model", "ModelError", "ModelWarning", "Sweep",
           "Transition", "Where", "load", "parse_sweep_option", "variants"]
