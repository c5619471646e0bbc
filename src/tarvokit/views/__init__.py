"""What a study shows: text reports (text.py and the importance and sweep views) and plots drawn
on a caller's matplotlib axes (plots.py), sharing their helpers."""

from .importance_views import draw_importance
from .plots import DPI, FIGURE_INCHES, PIXELS, draw_result, draw_unavailability
from .sweep_views import draw_sweep
from .text import model_text, summary

__all__ = ["DPI", "FIGURE_INCHES", "PIXELS", "draw_importance", "draw_result", "draw_sweep",
           "draw_unavailability", "model_text", "summary"]
