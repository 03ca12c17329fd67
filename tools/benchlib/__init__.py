"""The modules of tools/bench: preparation, runs, measurements, figures and
the printed table."""
