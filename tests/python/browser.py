"""Debian's headless chromium driven through Debian's chromedriver, for the page tests.

Selenium is pointed at /usr/bin/chromedriver and /usr/bin/chromium explicitly, so it
never runs its own driver manager and downloads nothing."""

import os
import shutil

import pytest

CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"


def missing():
    """Why the browser tests cannot run here, or None."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is not installed (requirements-test.txt)"
    for path, package in ((CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")):
        if not os.access(path, os.X_OK):
            return f"{path} is missing (Debian package {package})"
    return None


def chromium(width=1280, height=900, extra=()):
    """A headless chromium session; skips the test when there is none to have."""
    reason = missing()
    if reason is not None:
        pytest.skip(reason)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}", "--hide-scrollbars", *extra):
        options.add_argument(argument)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    service = Service(executable_path=CHROMEDRIVER, env=browser_env())
    return webdriver.Chrome(service=service, options=options)


def browser_env():
    """The environment for the browser and its driver: the test run's own, less a
    library it preloads (a sanitizer's runtime), which is none of theirs."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def unshare_available():
    return os.geteuid() == 0 and shutil.which("unshare") is not None
