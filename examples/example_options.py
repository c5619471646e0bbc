"""The options every example takes: --histories, --threads, --seed, --batches."""

from __future__ import annotations

import argparse
from typing import Sequence

from tarvokit.studies.options import DEFAULT_BATCHES


def run_options(description: str, default_histories: int) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--histories", type=int, default=default_histories,
                        help=f"number of histories (default {default_histories})")
    parser.add_argument("--threads", type=int, default=None,
                        help="worker threads (default: one per core)")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed of the first history; history i uses seed + i (default 1)")
    parser.add_argument("--batches", type=int, default=DEFAULT_BATCHES,
                        help="independent sub-batches for the intervals of means"
                             f" (default {DEFAULT_BATCHES})")
    return parser


def parse_run_options(parser: argparse.ArgumentParser,
                      argv: Sequence[str] | None) -> argparse.Namespace:
    arguments = parser.parse_args(argv)
    if arguments.batches < 2 or arguments.histories < arguments.batches:
        parser.error("--batches must be at least 2 and --histories at least --batches")
    if arguments.threads is not None and arguments.threads < 1:
        parser.error("--threads must be at least 1")
    return arguments
