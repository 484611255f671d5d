"""The live view's cost and latency, against the simulator on a pseudo-terminal in real time.

For each number of pods: drfn3 stream and drfn3 view (one headless Chromium tab open) take
turns on the same simulator; the CPU of the drfn3 process is read from /proc over the
streaming seconds only (not the start), and the page records, for every sample, the time
from its arrival at the host (stamped by drfn3 as the reader hands it on, right after the
read that brought its frame) to its point in the page's data; of that, the part from drfn3's
sending of the message to the page's taking it is shown apart (the rest waits in drfn3 for
the next update, about 30 a second). CPU: medians over the repetitions; latencies: over all
samples.

    /usr/bin/python3 bench/view_bench.py [--drfn3 build/default/apps/drfn3] [--pods 3,16]
        [--frequency 100] [--seconds 10] [--repetitions 2] [--orientation]

Needs Debian's chromium and python3-websocket (./run deps chromium python3-websocket).
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "apps"))
import browser  # noqa: E402


def simulator(drfn3, serials):
    sim = subprocess.Popen(
        [drfn3, "sim", "--sim-pods", ",".join(serials)], stdout=subprocess.PIPE, text=True, start_new_session=True
    )
    for line in sim.stdout:
        found = re.search(r"ORLAN_TARNLINK_PORTS=(\S+)", line)
        if found:
            return sim, found.group(1)
    raise RuntimeError("the simulator printed no port")


def measure(run, seconds):
    """CPU share of one core of drfn3 over seconds of streaming, after its first status line."""
    run.wait_streaming()
    pid = run.process.pid
    cpu, start = browser.process_cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (browser.process_cpu_seconds(pid) - cpu) / (time.monotonic() - start) * 100


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    parser.add_argument("--drfn3", default=os.path.join(root, "build", "default", "apps", "drfn3"))
    parser.add_argument("--pods", default="3,16")
    parser.add_argument("--frequency", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--repetitions", type=int, default=2)
    parser.add_argument("--orientation", action="store_true", help="both stream with --orientation")
    args = parser.parse_args()

    rows = []
    with tempfile.TemporaryDirectory(prefix="drfn3-view-bench-") as work, browser.Chromium() as page:
        for count in [int(n) for n in args.pods.split(",")]:
            serials = [f"{0xA10001 + i:X}" for i in range(count)]
            sim, port = simulator(args.drfn3, serials)
            env = dict(os.environ, ORLAN_TARNLINK_PORTS=port, XDG_CONFIG_HOME=work)
            common = [args.drfn3, "--pods", ",".join(serials), "--frequency", str(args.frequency)]
            # Long enough for the start (calibration, channel search) and the measured seconds.
            length = str(args.seconds + 15)
            more = ["--orientation"] if args.orientation else []
            stream_cpu, view_cpu, browser_cpu, latencies, transits, missed = [], [], [], [], [], 0
            try:
                for _ in range(args.repetitions):
                    run = browser.Drfn3(common[0], common[1:] + ["stream", "--seconds", length] + more, env=env, expect_url=False)
                    try:
                        stream_cpu.append(measure(run, args.seconds))
                    finally:
                        run.stop()

                    run = browser.Drfn3(common[0], common[1:] + ["view", "--seconds", length] + more, env=env)
                    try:
                        page.navigate(run.url + "&stamps=1")
                        browser.wait_for("the page", lambda: page.evaluate("typeof drfn3View !== 'undefined'"), 15)
                        run.wait_streaming()
                        # The page's first second is its start, not its pace.
                        time.sleep(1)
                        skip = len(page.evaluate("drfn3View.latencies()"))
                        skip_transits = len(page.evaluate("drfn3View.transits()"))
                        tab = page.cpu_seconds()
                        before = time.monotonic()
                        view_cpu.append(measure(run, args.seconds))
                        browser_cpu.append((page.cpu_seconds() - tab) / (time.monotonic() - before) * 100)
                        latencies += page.evaluate("drfn3View.latencies()")[skip:]
                        transits += page.evaluate("drfn3View.transits()")[skip_transits:]
                        missed += page.evaluate("drfn3View.snapshot()")["missed"]
                    finally:
                        run.stop()
            finally:
                sim.terminate()
                sim.wait()
            rows.append(
                (
                    count,
                    statistics.median(stream_cpu),
                    statistics.median(view_cpu),
                    statistics.median(v - s for v, s in zip(view_cpu, stream_cpu)),
                    percentile(latencies, 50),
                    percentile(latencies, 90),
                    percentile(latencies, 99),
                    max(latencies) if latencies else float("nan"),
                    len(latencies),
                    statistics.median(browser_cpu),
                    missed,
                    percentile(transits, 50),
                    percentile(transits, 99),
                )
            )

    print(f"drfn3 view against drfn3 stream{' with --orientation' if args.orientation else ''}, {args.frequency} Hz, "
          f"{args.seconds:g} s measured, "
          f"median of {args.repetitions}; CPU in % of one core")
    print("pods  stream CPU  view CPU  view - stream  latency median  p90       p99       max       samples  "
          "browser CPU  missed  sent to page median  p99")
    for r in rows:
        print(f"{r[0]:4d}  {r[1]:10.2f}  {r[2]:8.2f}  {r[3]:13.2f}  {r[4]:11.1f} ms  {r[5]:5.1f} ms  {r[6]:5.1f} ms  "
              f"{r[7]:5.1f} ms  {r[8]:7d}  {r[9]:11.1f}  {r[10]:6d}  {r[11]:16.1f} ms  {r[12]:5.1f} ms")
    print("goals at 16 pods: view - stream <= 2 % of one core with one tab, p99 latency < 100 ms")


if __name__ == "__main__":
    main()
