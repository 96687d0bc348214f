"""``python -m vorn_schema``: the same command as ``vorn-schema``."""

from .cli import run

if __name__ == "__main__":
    run()
