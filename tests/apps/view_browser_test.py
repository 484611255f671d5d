"""drfn3 demo --view --orientation in headless Chromium: the traces get points at the pods'
rate, every pod gets its 3D box, the page's samples, numbers and angles are the CSV's, and a
screenshot is kept.

    view_browser_test.py DRFN3 ARTEFACT_DIR
"""

import csv
import decimal
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# Skipped where the browser is missing, unless it is required (./run browser, CI).
SKIP = 1 if os.environ.get("DRFN3_BROWSER_REQUIRED") else 77
if not shutil.which("chromium"):
    print("SKIP: Debian's chromium is not installed")
    sys.exit(SKIP)
try:
    import browser
except ImportError:
    print("SKIP: Debian's python3-websocket is not installed")
    sys.exit(SKIP)

RATE = 100
SECONDS = 8
PODS = ["A10001", "A10002", "A10003"]
failures = []


def check(condition, text):
    if not condition:
        failures.append(text)
        print("FAIL:", text)


def to_fixed(value, decimals):
    """As JavaScript's toFixed: the exact binary value, a tie away from zero."""
    exact = decimal.Decimal(value if value != 0 else 0.0)
    return str(exact.quantize(decimal.Decimal(1).scaleb(-decimals), rounding=decimal.ROUND_HALF_UP))


def snapshot(page):
    return page.evaluate("drfn3View.snapshot()")


def main():
    drfn3, artefacts = sys.argv[1], sys.argv[2]
    os.makedirs(artefacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="drfn3-view-test-")
    csv_path = os.path.join(work, "demo.csv")
    env = dict(os.environ, ORLAN_TARNLINK_PORTS="", XDG_CONFIG_HOME=work)
    with browser.Chromium() as page:
        run = browser.Drfn3(drfn3, ["demo", "--view", "--orientation", "--seconds", str(SECONDS), "--csv", csv_path], env=env)
        try:
            page.navigate(run.url)
            browser.wait_for("the page", lambda: page.evaluate("typeof drfn3View !== 'undefined'"), 15)
            browser.wait_for("the page's first samples", lambda: sum(p["received"] for p in snapshot(page)["pods"]) > 0, 30)

            # Points per second of the page's own clock, over two seconds of streaming.
            before = snapshot(page)
            time.sleep(2)
            after = snapshot(page)
            span = (after["now"] - before["now"]) / 1000
            for pod in PODS:
                got = {p["pod"]: p["received"] for p in after["pods"]}.get(pod, 0)
                had = {p["pod"]: p["received"] for p in before["pods"]}.get(pod, 0)
                rate = (got - had) / span
                check(abs(rate - RATE) <= 0.15 * RATE, f"{pod}: {rate:.1f} points/s, the pods send {RATE}")
            check(all(p["drawn"] == 3 for p in after["pods"]), f"every pod has its three traces: {after['pods']}")
            # three.js comes with the first orientation.
            browser.wait_for("every pod's 3D box", lambda: all(p["box"] == "drawn" for p in snapshot(page)["pods"]), 10)
            # Most of the window filled: the picture the README shows.
            browser.wait_for("5 s of traces", lambda: min(p["received"] for p in snapshot(page)["pods"]) >= 5 * RATE, 10)
            page.screenshot(os.path.join(artefacts, "view.png"), height_of="#pods")

            browser.wait_for("the end of the stream", lambda: snapshot(page)["ended"], SECONDS + 30)
            browser.wait_for("the last drawing", lambda: not snapshot(page)["pending"], 5)
            code, out, err = run.finish()
        finally:
            run.kill()
        check(code == 0, f"drfn3 demo --view exit code {code}: {err}")
        final = snapshot(page)
        check(final["missed"] == 0, f"the page missed {final['missed']} samples")
        check("ended" in final["banner"], f"the page says the stream ended: {final['banner']!r}")

        rows = {}
        with open(csv_path) as f:
            for row in csv.DictReader(f):
                rows.setdefault(row["pod"], []).append(row)
        columns = ["time_s", "frame", "ax_m_s2", "ay_m_s2", "az_m_s2", "mx_uT", "my_uT", "mz_uT", "gx_rad_s", "gy_rad_s", "gz_rad_s"]
        for pod in PODS:
            written = rows.get(pod, [])
            shown = next((p for p in final["pods"] if p["pod"] == pod), None)
            if not written or not shown:
                check(False, f"{pod}: in the CSV and on the page")
                continue
            # The page has every sample since it connected: the CSV's last ones, value for value.
            held = page.evaluate(f"drfn3View.rows({pod!r})")
            check(len(held) == shown["received"] and 0 < len(held) <= len(written), f"{pod}: {len(held)} rows held")
            tail = [[float(r[c]) for c in columns] for r in written[len(written) - len(held) :]]
            check(held == tail, f"{pod}: the page's samples differ from the CSV's")
            last = written[-1]
            numbers = shown["shown"]
            check(numbers["frames"] == str(len(written)), f"{pod}: {numbers['frames']} frames shown, {len(written)} written")
            check(numbers["loss"] == to_fixed(float(last["loss"]) * 100, 1), f"{pod}: loss {numbers['loss']} against {last['loss']}")
            check(numbers["battery"] == to_fixed(float(last["battery_pct"]), 1), f"{pod}: battery {numbers['battery']}")
            check(numbers["button"] == int(last["button"]), f"{pod}: button {numbers['button']}")
            for sensor, decimals in (("a", 2), ("m", 2), ("g", 3)):
                shown_values = numbers["values"][sensor]
                axes = [c for c in columns if c.startswith(sensor)]
                expected = "  ".join(to_fixed(float(last[c]), decimals) for c in axes)
                check(shown_values == expected, f"{pod} {sensor}: {shown_values!r} shown, {expected!r} written")
            angles = [to_fixed(float(last[c]), 1) for c in ("roll_deg", "pitch_deg", "yaw_deg")]
            check(shown["angles"] == angles, f"{pod}: roll, pitch, yaw {shown['angles']} shown, {angles} written")
    shutil.rmtree(work, ignore_errors=True)
    print(f"screenshots in {artefacts}")
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
