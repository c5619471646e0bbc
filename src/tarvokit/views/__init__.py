"""What a study shows: text reports (text.py and the importance and sweep views) and plots drawn
on a caller's matplotlib axes (plots.py), sharing their helpers."""

from .._lazy import lazy_names

_WHERE = {
    "draw_importance": "importance_views",
    "DPI": "plots",
    "FIGURE_INCHES": "plots",
    "PIXELS": "plots",
    "draw_result": "plots",
    "draw_unavailability": "plots",
    "draw_sweep": "sweep_views",
    "model_text": "text",
    "summary": "text",
}
__all__ = sorted(_WHERE)
__getattr__, __dir__ = lazy_names(__name__, _WHERE)
