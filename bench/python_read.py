"""CPU per frame in the thread that reads, with the drfn3 package against the simulator on a
pseudo-terminal in real time: 16 pods at 100 Hz by default. The simulator's own thread is
not counted; time.thread_time() is this thread's CPU alone.

    ./run python bench/python_read.py [--seconds 10] [--pods 16] [--frequency 100]

With PYTHONPATH pointing at another build of the package (an earlier commit, say), the same
script measures that one: run both in one session to compare.
"""

import argparse
import time

import drfn3


def switches():
    """This thread's voluntary context switches: how often it slept and was woken."""
    with open("/proc/thread-self/status") as status:
        for line in status:
            if line.startswith("voluntary_ctxt_switches"):
                return int(line.split()[1])
    return 0


def measure(net, seconds, how):
    frames = 0
    woken = switches()
    cpu = time.thread_time()
    end = time.monotonic() + seconds
    if how == "read":
        while time.monotonic() < end:
            frames += len(net.read())
    else:
        for _ in net.samples():
            frames += 1
            if frames % 256 == 0 and time.monotonic() >= end:
                break
    cpu = time.thread_time() - cpu
    return frames, cpu, switches() - woken


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--pods", type=int, default=16)
    parser.add_argument("--frequency", type=int, default=100)
    args = parser.parse_args()
    with drfn3.Simulator(pods=args.pods, instant=True) as sim, drfn3.open(frequency=args.frequency) as net:
        # Set once connected, which also works with packages that refused more than 5 pods in open().
        net.properties["serial"] = sim.pods
        net.start()
        net.read(seconds=0.5)
        print("%-36s %10s %12s %14s" % ("python, %d pods at %d Hz" % (args.pods, args.frequency), "frames",
                                         "us/frame", "wake-ups/frame"))
        for how in ("read", "samples"):
            frames, cpu, woken = measure(net, args.seconds, how)
            print("%-36s %10d %12.2f %14.3f" % ("read() in a loop" if how == "read" else "for s in samples()", frames,
                                                cpu / max(frames, 1) * 1e6, woken / max(frames, 1)))


if __name__ == "__main__":
    main()
