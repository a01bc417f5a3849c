"""Takes docs/dashboard.png: the dashboard of examples/agents_demo.py while its agents
work, in Debian's headless chromium (chromium, chromium-driver and selenium, as the
tests use them).

    python scripts/dashboard_screenshot.py [--after SECONDS] [--out FILE]
"""

import argparse
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))

from browser import chromium  # noqa: E402


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--after", type=float, default=6.0,
                        help="seconds into the demo (default %(default)s)")
    parser.add_argument("--out", default=str(ROOT / "docs" / "dashboard.png"))
    args = parser.parse_args(argv)
    demo = subprocess.Popen([sys.executable, str(ROOT / "examples" / "agents_demo.py"),
                             "--dashboard", "--port", "0"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    driver = None
    try:
        line = demo.stdout.readline()
        url = line.rsplit(" ", 1)[-1].strip()
        started = time.monotonic()
        driver = chromium(width=1200, height=820)
        driver.get(url)
        time.sleep(max(0.0, args.after - (time.monotonic() - started)))
        driver.save_screenshot(args.out)
        print(f"{args.out}: the page at {url}, {args.after:.0f} s into the demo")
    finally:
        if driver is not None:
            driver.quit()
        demo.stdin.close()
        demo.wait(timeout=60)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
