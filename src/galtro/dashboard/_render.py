# pyright: strict
"""Pages as HTML, from the templates beside this module, with autoescaping on: every
text that an agent supplies (ids, resource keys, message contents) reaches the page
escaped, in elements, attributes and the SVG alike."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import jinja2

from galtro.dashboard import DEFAULT_WINDOW
from galtro.dashboard._views import Page, Report, clock, duration

__all__ = ["render_page", "render_live", "render_report", "STATIC"]

_HERE = Path(__file__).resolve().parent
#: The page's style sheet and script, served as they are.
STATIC = _HERE / "static"

_environment = jinja2.Environment(
    loader=jinja2.FileSystemLoader(str(_HERE / "templates")),
    autoescape=True,
    undefined=jinja2.StrictUndefined,
    trim_blocks=True,
    lstrip_blocks=True,
)
_environment.filters["clock"] = clock
_environment.filters["duration"] = duration

#: The windows the page offers, in seconds, with their names.
WINDOWS = [(60, "1 min"), (300, "5 min"), (900, "15 min"), (DEFAULT_WINDOW, "1 hour"), (6 * 3600, "6 hours"),
           (24 * 3600, "24 hours")]


def _render(name: str, **context: Any) -> str:
    return _environment.get_template(name).render(**context)


def render_page(page: Page, store: str, window: int) -> str:
    """The whole page: the live part and what keeps it current."""
    return _render("page.html", page=page, store=store, window=window, windows=WINDOWS)


def render_live(page: Page) -> str:
    """The part of the page that is read again every second."""
    return _render("_live.html", page=page)


def render_report(report: Report, store: str) -> str:
    """The report as one HTML file: its style inline, no script, nothing to fetch."""
    style = (STATIC / "dashboard.css").read_text(encoding="utf-8")
    return _render("report.html", report=report, store=store, style=style)
