#!/usr/bin/env python3
# /// script
# dependencies = ["nox>=2025.2.9"]
# ///
"""Tasks for contributors: `nox -s tests`, `nox -s lint`, `nox -s docs`.

Each runs in a fresh venv with what pyproject.toml's dependency groups name.
`make test` is the whole check (every interpreter and lane, the sanitizers);
these are the quick loops on the interpreter at hand.
"""

import nox

# dependency_groups() came in 2025.2.9.
nox.needs_version = ">=2025.2.9"
nox.options.default_venv_backend = "venv"

PYPROJECT = nox.project.load_toml("pyproject.toml")


@nox.session(default=True)
def tests(session: nox.Session) -> None:
    """The test suite against the package built and installed from here."""
    session.install(".", *nox.project.dependency_groups(PYPROJECT, "test"), "pytest-xdist")
    # -P keeps the checkout off sys.path: the tests import the installed package.
    session.run("python", "-P", "-m", "pytest", "-n", "auto", *session.posargs)


@nox.session(default=True)
def lint(session: nox.Session) -> None:
    """The commit hooks of .pre-commit-config.yaml over every file."""
    session.install("pre-commit")
    session.run("pre-commit", "run", "--all-files", "--show-diff-on-failure", *session.posargs)


@nox.session(default=False)
def docs(session: nox.Session) -> None:
    """The documentation, warnings as errors."""
    session.install(".", *nox.project.dependency_groups(PYPROJECT, "docs"))
    session.run("sphinx-build", "-W", "--keep-going", "-b", "html", "docs", "build/docs/html")


if __name__ == "__main__":
    nox.main()
