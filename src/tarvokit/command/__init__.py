"""The `tarvo` command (cli.py) and the figures it writes (figures.py)."""
