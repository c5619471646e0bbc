"""What to simulate: model files and dicts read and checked, described as plain data, and their
sweep variants. Nothing here runs the engine."""

from .._lazy import lazy_names

_WHERE = {
    "ModelError": "errors",
    "ModelWarning": "errors",
    "Where": "errors",
    "DEFAULT_RESOLUTION": "reading",
    "Component": "reading",
    "Model": "reading",
    "Transition": "reading",
    "load": "reading",
    "variants": "reading",
    "Sweep": "variants",
    "parse_sweep_option": "variants",
}
__all__ = sorted(_WHERE)
__getattr__, __dir__ = lazy_names(__name__, _WHERE)
