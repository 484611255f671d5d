"""Stream Driftnode3 pods into numpy.

    import drfn3
    with drfn3.Simulator(pods=3) as sim, drfn3.open(pods=sim.pods, frequency=100) as net:
        data = net.read(seconds=1)

Behaviour (properties, messages, calibration, loss accounting) is the DRFN3Internal
module's own: this package loads it through the same host layer as the drfn3 command.
"""

import collections
import collections.abc
import os

import numpy as np

from . import _drfn3, _paths
from ._drfn3 import DeviceError, Error, InvalidValueError, NotAllowedError, NotFoundError

__all__ = ["controllers", "open", "Network", "Properties", "Simulator", "Controller", "SAMPLE_DTYPE",
           "Error", "InvalidValueError", "NotFoundError", "NotAllowedError", "DeviceError"]

SAMPLE_DTYPE = np.dtype([
    ("time", "f8"), ("serial", "u4"),
    ("ax", "f8"), ("ay", "f8"), ("az", "f8"),
    ("mx", "f8"), ("my", "f8"), ("mz", "f8"),
    ("gx", "f8"), ("gy", "f8"), ("gz", "f8"),
    ("frame", "i8"), ("loss", "f8"), ("battery", "f8"), ("button", "u1"),
])

_SENSORS = {"acc": "3a", "mag": "3m", "gyr": "3g"}
_PORTS = "ORLAN_TARNLINK_PORTS"

Controller = collections.namedtuple("Controller", "generation where usable details")
Controller.__doc__ = "A controller discovery lists: where is its port or FTDI serial number."


def controllers():
    """Every controller discovery finds (USB, ORLAN_TARNLINK_PORTS, a running Simulator)."""
    return [Controller(*c) for c in _drfn3.controllers()]


def _module_path(explicit):
    if explicit:
        return os.fspath(explicit)
    candidates = [os.environ.get("DRFN3_MODULE")]
    if _paths.MODULE:
        here = os.path.dirname(os.path.abspath(__file__))
        candidates.append(os.path.normpath(os.path.join(here, _paths.MODULE)) if _paths.RELATIVE else _paths.MODULE)
    for candidate in filter(None, candidates):
        if os.path.isfile(candidate):
            return candidate
    raise NotFoundError("The DRFN3Internal module was not found; give it with module=PATH or $DRFN3_MODULE."
                        " Looked at: " + ", ".join(filter(None, candidates)))


def _text(value):
    """A property's text from a Python value."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, (list, tuple)):
        return ";".join(_serial_text(v) for v in value)
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


def _serial_text(serial):
    # Text is passed on untouched so that the filter judges it and says what is wrong.
    if isinstance(serial, (int, np.integer)):
        return format(int(serial), "X")
    return str(serial)


def _serial_number(serial):
    """Hexadecimal text as a number, so that pin names match whatever its case; otherwise as given."""
    if isinstance(serial, str):
        try:
            return int(serial, 16)
        except ValueError:
            return serial
    return serial


def _value(kind, text):
    """A Python value from a property's text, by the property's kind."""
    if kind == "bool":
        return text == "1"
    if kind in ("int", "unsigned", "range", "enum"):
        try:
            return int(text)
        except ValueError:
            try:
                return float(text)
            except ValueError:
                return text
    return text


class Properties(collections.abc.MutableMapping):
    """The filter's properties by name. Values read back as bool, int, float or str by the
    property's kind; lists (pod serials) are written separated by ';'. Deleting is refused."""

    def __init__(self, core):
        self._core = core

    def _describe(self):
        return {d[0]: d for d in self._core.describe()}

    def __getitem__(self, name):
        found = self._describe().get(name)
        if found is None:
            raise KeyError(name)
        return _value(found[1], self._core.get(name))

    def __setitem__(self, name, value):
        self._core.set(name, _text(value))

    def __delitem__(self, name):
        raise TypeError("properties cannot be removed")

    def __iter__(self):
        return iter([d[0] for d in self._core.describe()])

    def __len__(self):
        return len(self._core.describe())

    def describe(self, name):
        """kind, text value, details (range, entries), writable and persistent."""
        d = self._describe()[name]
        return {"name": d[0], "kind": d[1], "value": d[2], "details": d[3], "writable": d[4], "persistent": d[5]}

    def run(self, command):
        """Runs a command property ("pairing", "Read Calib", ...)."""
        self._core.set(command, "")


class Network:
    """A controller and its pods. A context manager: leaving it, however, stops transmission,
    puts the pods and the controller back on channel 0 and closes the controller."""

    def __init__(self, core):
        self._core = core
        self.properties = Properties(core)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    @property
    def pods(self):
        return list(self._core.serials())

    @property
    def connected(self):
        return self._core.connected()

    @property
    def transmitting(self):
        return self._core.transmitting()

    def start(self):
        """Checks the pods, reads their calibration, finds a quiet channel and starts them."""
        self._core.start()

    def stop(self):
        self._core.stop()

    def close(self):
        core = getattr(self, "_core", None)
        if core is not None:
            core.close()

    def read(self, n=None, seconds=None):
        """Samples of every pod in time order, as a structured array of SAMPLE_DTYPE: n of them,
        those of the next seconds, whichever ends first; with neither, those already waiting
        (at least one, at most 50 ms worth after it). Starts transmission if needed."""
        if n is not None and n < 0:
            raise ValueError("n must not be negative")
        if seconds is not None and seconds < 0:
            raise ValueError("seconds must not be negative")
        raw = self._core.read(-1 if n is None else int(n), -1.0 if seconds is None else float(seconds))
        out = np.empty(len(raw), dtype=SAMPLE_DTYPE)
        for i, name in enumerate(SAMPLE_DTYPE.names):
            out[name] = raw[:, i]
        return out

    def samples(self):
        """Sample after sample, for ever (break out of the loop to end)."""
        while True:
            yield from self.read()

    def stats(self):
        """Per pod: samples read, rate (Hz of the pod's clock), loss ratio, battery %, frequency."""
        return self._core.stats()

    def pair(self):
        """Listens 5 s for a pod in pairing mode; returns the serials added to the network."""
        before = set(self.pods)
        self.properties.run("pairing")
        return [s for s in self.pods if s not in before]

    def switch_off(self):
        self.properties.run("Switch Off")

    def auto_channel(self):
        """Finds a quiet channel, where later transmissions start their search; returns it."""
        self.properties.run("AutoChannel")
        return self.properties["Channel"]

    def read_calibration(self):
        """{serial: {"acc"|"mag"|"gyr": {"gain": 3x3 array, "offset": 3x1 array}}}, as the pods hold it."""
        raw = self._core.read_calibration()
        out = {}
        for serial, pins in raw.items():
            out[serial] = {}
            for sensor, prefix in _SENSORS.items():
                gain, offset = pins.get(prefix + "Gain"), pins.get(prefix + "Off")
                if gain is not None and offset is not None:
                    out[serial][sensor] = {"gain": gain, "offset": offset}
        return out

    def write_calibration(self, calibration):
        """Commits matrices to the pods' EEPROM; takes what read_calibration gives, or any part of it."""
        matrices = []
        for serial, sensors in calibration.items():
            for sensor, values in sensors.items():
                if sensor not in _SENSORS:
                    raise InvalidValueError("Unknown sensor %r: one of %s" % (sensor, ", ".join(_SENSORS)))
                suffix = "#0x" + _serial_text(_serial_number(serial))
                for key, pin in (("gain", "Gain"), ("offset", "Off")):
                    if key in values:
                        matrix = np.asarray(values[key], dtype=float)
                        matrices.append((_SENSORS[sensor] + pin + suffix,
                                         matrix.reshape(-1, 1) if matrix.ndim == 1 else matrix))
        if not matrices:
            raise InvalidValueError("No calibration matrices given")
        self._core.write_calibration(matrices)


def open(pods=None, frequency=None, channel=None, acc_mode=None, mag_mode=None, gyro=None, log=None, module=None):
    """Loads the DRFN3Internal module, sets up the network and connects to the first controller
    found. Pods are serials (ints, or hexadecimal text). Use it in a with block."""
    core = _drfn3.Network(_module_path(module), os.fspath(log) if log else "")
    network = Network(core)
    try:
        props = network.properties
        # The frequency bounds how many pods fit; modes need the pods and the controller.
        if frequency is not None:
            props["Frequency"] = frequency
        if pods is not None:
            props["serial"] = list(pods) if not isinstance(pods, str) else pods
        core.connect()
        if channel is not None:
            props["Channel"] = channel
        if acc_mode is not None:
            props["Acc mode"] = acc_mode
        if mag_mode is not None:
            props["Mag mode"] = mag_mode
        if gyro is not None:
            props["Gyro On"] = bool(gyro)
    except BaseException:
        network.close()
        raise
    return network


class Simulator:
    """A simulated controller with pods on a pseudo-terminal, in this process, in real time.
    While it runs, controllers() and open() find it. pods: a count (serials A10001, A10002, ...)
    or serials; rate: frames per second per pod instead of the network's; faults: probabilities
    by name (corrupt_byte, drop_byte, garbage, wrong_echo, controller_timeout, drop_frame);
    record: keep every frame sent, for frames(); instant: replies without the radio's
    modelled latency (frames keep their period), for quicker tests."""

    def __init__(self, generation=2, pods=3, rate=None, faults=None, busy_channels=(), seed=1, record=False, instant=False):
        serials = [0xA10001 + i for i in range(pods)] if isinstance(pods, int) else \
            [int(p, 16) if isinstance(p, str) else int(p) for p in pods]
        self._core = _drfn3.Simulator(generation, serials, float(rate or 0), dict(faults or {}),
                                      list(busy_channels), seed, record, instant)
        self._previous = None
        self._started = False

    def start(self):
        if self._started:
            return self
        self._core.start()
        self._previous = os.environ.get(_PORTS)
        os.environ[_PORTS] = self.port + (":" + self._previous if self._previous else "")
        self._started = True
        return self

    def stop(self):
        if not self._started:
            return
        self._core.stop()
        if self._previous is None:
            os.environ.pop(_PORTS, None)
        else:
            os.environ[_PORTS] = self._previous
        self._started = False

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def port(self):
        return self._core.port()

    @property
    def pods(self):
        return list(self._core.pods())

    @property
    def running(self):
        return self._core.running()

    @property
    def transmitting(self):
        return self._core.transmitting()

    def channels(self):
        """Channel index of the controller (key "controller") and of each pod."""
        return self._core.channels()

    def frames(self, serial):
        """What a pod sent (record=True): rows of frame number, ax..gz and the status byte."""
        return self._core.frames(serial)

    def clear_record(self):
        self._core.clear_record()
