"""tools/explain: what an installer's exit code, detail and client-state
record mean.

codes: the exit codes (stage, meaning, detail, record, usual causes).
details: what particular details say (policies, volumes, layouts).
errors: Windows error and exception names.
cli: the command line, the explanation, and its text and JSON forms.
"""
