"""Stream Driftnode3 motion pods into numpy.

    import drfn3
    with drfn3.Simulator(pods=3) as sim, drfn3.open(pods=sim.pods, frequency=100) as net:
        data = net.read(seconds=1)
        print(data["az_m_s2"].mean())          # about -9.81 for a pod lying flat

Samples come as structured arrays of SAMPLE_DTYPE, in physical units: the pods' own
calibration applied as ``calibrated = gain x raw - offset`` (accelerometer m/s^2,
magnetometer microtesla, gyroscope rad/s). ``open(raw=True)`` gives the raw counts
(RAW_SAMPLE_DTYPE). ``open(orientation=True)`` adds each pod's orientation to every sample
(ORIENTATION_SAMPLE_DTYPE): the quaternion qw, qx, qy, qz turning the pod's frame into the
world's (x magnetic north, y west, z up), roll_deg, pitch_deg, yaw_deg, and
orientation_sensors. Behaviour (properties, messages, calibration, loss accounting) is the
DRFN3Internal module's own: this package loads it through the same host layer as the
drfn3 command.
"""

import collections
import collections.abc
import datetime
import os

import numpy as np

from . import _drfn3, _paths
from ._drfn3 import DeviceError, Error, InvalidValueError, NotAllowedError, NotFoundError

__version__ = _paths.VERSION

__all__ = ["controllers", "open", "Network", "Properties", "Simulator", "Controller", "SAMPLE_DTYPE",
           "RAW_SAMPLE_DTYPE", "ORIENTATION_SAMPLE_DTYPE", "RAW_ORIENTATION_SAMPLE_DTYPE", "UNITS", "Error",
           "InvalidValueError", "NotFoundError", "NotAllowedError", "DeviceError", "__version__"]

SAMPLE_DTYPE = _drfn3.SAMPLE_DTYPE
"""One sample: time_s (s, one time base for the whole run), serial, ax_m_s2..az_m_s2
(m/s^2), mx_uT..mz_uT (uT), gx_rad_s..gz_rad_s (rad/s), frame (the pod's frame count in
its transmission), loss (lost frames over the counter's window, 0 to 1), battery_pct (%),
button (0 or 1)."""


def _raw_dtype(dtype):
    names = [n.replace("_m_s2", "_counts").replace("_uT", "_counts").replace("_rad_s", "_counts")
             for n in dtype.names]
    fields = dtype.fields
    return np.dtype({"names": names, "formats": [fields[n][0] for n in dtype.names],
                     "offsets": [fields[n][1] for n in dtype.names], "itemsize": dtype.itemsize})


RAW_SAMPLE_DTYPE = _raw_dtype(SAMPLE_DTYPE)
"""SAMPLE_DTYPE with the sensor values in the pods' raw counts (ax_counts, ...)."""

ORIENTATION_SAMPLE_DTYPE = _drfn3.ORIENTATION_SAMPLE_DTYPE
"""SAMPLE_DTYPE and the pod's orientation, worked out on this computer from its calibrated
samples: qw, qx, qy, qz (a unit quaternion turning pod-frame vectors into the world frame:
x magnetic north, y west, z up), roll_deg, pitch_deg, yaw_deg (Z-Y-X angles in degrees: yaw
0 facing north, growing toward west), orientation_sensors (what the estimate used, added: 1
accelerometer, 2 magnetometer, 4 gyroscope: 7 for all three, 3 with the gyroscope off).
Where there is no orientation (a pod whose calibration cannot be applied) the quaternion
and angles are NaN and orientation_sensors 0."""

RAW_ORIENTATION_SAMPLE_DTYPE = _raw_dtype(ORIENTATION_SAMPLE_DTYPE)
"""ORIENTATION_SAMPLE_DTYPE with the sensor values in raw counts; the orientation is the same."""

UNITS = {"acc": "m/s^2", "mag": "uT", "gyr": "rad/s"}
"""The unit of each sensor's calibrated values."""

_SENSORS = ("acc", "mag", "gyr")
_PORTS = {1: "ORLAN_TARNLINK_PORTS_GEN1", 2: "ORLAN_TARNLINK_PORTS"}

Controller = collections.namedtuple("Controller", "generation where usable details")
Controller.__doc__ = """A controller discovery lists.

generation: 1 or 2; where: its port (with the USB serial number for generation 1) or FTDI
serial number; usable: it answered; details: hardware, firmware and serial number, or why
it cannot be used."""


def controllers():
    """Every controller discovery finds (USB, ORLAN_TARNLINK_PORTS, a running Simulator), each
    opened briefly to read its identity; a list of Controller."""
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


def _serial(value):
    """A pod serial as a number, from an int or hexadecimal text; InvalidValueError otherwise."""
    if isinstance(value, (bool, np.bool_)):
        raise InvalidValueError("Not a valid pod serial: %r" % (value,))
    if isinstance(value, (int, np.integer)):
        number = int(value)
    elif isinstance(value, str):
        text = value.strip()
        try:
            number = -1 if text.startswith(("-", "+")) else int(text, 16)
        except ValueError:
            number = -1
        if number < 0:
            raise InvalidValueError("Not a valid hexadecimal integer: '%s' (pod serials are up to 6 hex digits)"
                                    % value)
    else:
        raise InvalidValueError("Not a valid pod serial: %r (an int or hexadecimal text)" % (value,))
    if not 0 <= number <= 0xFFFFFF:
        raise InvalidValueError("Not a valid pod serial: %r (pod serials are up to 6 hex digits)" % (value,))
    return number


def _serials(pods):
    """Pod serials from a list (or text separated by ';', ',' or blanks), each once."""
    if isinstance(pods, str):
        pods = pods.replace(";", " ").replace(",", " ").split()
    if isinstance(pods, (int, np.integer)):
        pods = [pods]
    serials = [_serial(p) for p in pods]
    seen = set()
    for serial in serials:
        if serial in seen:
            raise InvalidValueError("Pod %X is given more than once" % serial)
        seen.add(serial)
    return serials


def _text(value):
    """A property's text from a Python value."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, (list, tuple)):
        return ";".join(format(v, "X") if isinstance(v, (int, np.integer)) else str(v) for v in value)
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


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


def _choices(details):
    """{label: index} of an enumeration property's details ("0=2g, 1=4g, 2=8g")."""
    choices = {}
    for entry in details.split(", "):
        index, _, label = entry.partition("=")
        if index.strip().isdigit() and label:
            choices[label.strip()] = int(index)
    return choices


class Properties(collections.abc.MutableMapping):
    """The filter's properties by name, as a dict.

    Values read back as bool, int, float or str by the property's kind; lists (pod serials)
    are written separated by ';'. Deleting is refused. A refused value raises the filter's
    own message as an Error subclass and leaves the property as it was."""

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
        """A dict of the property: name, kind, text value, details (range, entries), writable
        and persistent."""
        d = self._describe()[name]
        return {"name": d[0], "kind": d[1], "value": d[2], "details": d[3], "writable": d[4], "persistent": d[5]}

    def choices(self, name):
        """{label: index} of an enumeration property ("Acc mode": {"2g": 0, "4g": 1, "8g": 2})."""
        return _choices(self._describe()[name][3])

    def run(self, command):
        """Runs a command property ("pairing", "Read Calib", ...)."""
        self._core.set(command, "")


class Network:
    """A controller and its pods, made by open().

    A context manager: leaving the with block, also by an exception or Ctrl-C, stops
    transmission, puts the pods and the controller back on channel 0, closes the controller
    and unloads the module. One network at a time per process."""

    def __init__(self, core, raw=False, orientation=False):
        self._core = core
        self._raw = raw
        self._orientation = orientation
        self._pending = None
        self._next = 0
        self.properties = Properties(core)
        """The filter's properties (Properties)."""

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
        """The pods' serials, in the network's order."""
        return list(self._core.serials())

    @property
    def connected(self):
        """True while the controller is open."""
        return self._core.connected()

    @property
    def transmitting(self):
        """True while the pods stream."""
        return self._core.transmitting()

    @property
    def dtype(self):
        """The dtype read() returns: SAMPLE_DTYPE, RAW_SAMPLE_DTYPE with open(raw=True),
        ORIENTATION_SAMPLE_DTYPE with open(orientation=True), RAW_ORIENTATION_SAMPLE_DTYPE with
        both."""
        if self._orientation:
            return RAW_ORIENTATION_SAMPLE_DTYPE if self._raw else ORIENTATION_SAMPLE_DTYPE
        return RAW_SAMPLE_DTYPE if self._raw else SAMPLE_DTYPE

    @property
    def first_sample_utc(self):
        """UTC time (a timezone-aware datetime) at which the first sample arrived, None before;
        with first_sample_time it lines recordings up with other instruments: a sample's UTC
        is first_sample_utc + (time_s - first_sample_time) seconds."""
        utc, _ = self._core.anchor()
        if utc != utc:  # NaN
            return None
        return datetime.datetime.fromtimestamp(utc, tz=datetime.timezone.utc)

    @property
    def first_sample_time(self):
        """time_s of the first sample, None before."""
        _, time = self._core.anchor()
        return None if time != time else time

    def start(self):
        """Checks the pods, reads their calibration, finds a quiet channel and starts them
        (5 to 16 s). Ctrl-C stops it within half a second, leaving everything on channel 0.
        read() starts by itself when needed."""
        self._core.start()

    def stop(self):
        """Stops transmission: pods and controller back on channel 0. Samples already read
        and not consumed by samples() stay for the next read()."""
        self._core.stop()

    def close(self):
        """stop(), then closes the controller and unloads the module; the network cannot be
        used again."""
        core = getattr(self, "_core", None)
        if core is not None:
            core.close()

    def _take_pending(self, n=None):
        """Up to n samples that samples() read but did not hand out."""
        if self._pending is None or self._next >= len(self._pending):
            return None
        end = len(self._pending) if n is None else min(len(self._pending), self._next + n)
        taken = self._pending[self._next:end]
        self._next = end
        return taken

    def read(self, n=None, seconds=None):
        """Samples of every pod in time order, a structured array of self.dtype.

        n: at most this many (an int, 0 or more); seconds: those of the next seconds (a
        number, 0 or more); whichever ends first. With neither, those already waiting (at
        least one, at most 50 ms worth after it). Starts transmission if needed. Samples that
        samples() took but did not hand out come first. Ctrl-C ends the wait."""
        if n is not None:
            if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
                raise InvalidValueError("n must be a whole number, 0 or more, not %r" % (n,))
        if seconds is not None:
            try:
                seconds = float(seconds)
            except (TypeError, ValueError):
                raise InvalidValueError("seconds must be a number, not %r" % (seconds,)) from None
            if not seconds >= 0:
                raise InvalidValueError("seconds must be 0 or more, not %r" % (seconds,))
        kept = self._take_pending(n)
        if kept is not None:
            if n is None and seconds is None:
                return kept
            if n is not None:
                n -= len(kept)
                if n == 0:
                    return kept
        fresh = self._core.read(-1 if n is None else int(n), -1.0 if seconds is None else seconds)
        if self._raw:
            fresh = fresh.view(self.dtype)
        return fresh if kept is None else np.concatenate([kept, fresh])

    def samples(self):
        """Sample after sample, for ever (break out of the loop to end). Breaking out loses
        nothing: the samples read but not handed out come first in the next read()."""
        while True:
            if self._pending is None or self._next >= len(self._pending):
                self._pending = self.read()
                self._next = 0
            while self._next < len(self._pending):
                sample = self._pending[self._next]
                self._next += 1
                yield sample

    def stats(self):
        """Per pod serial, a dict: samples (read so far), rate (samples per second of
        streaming time), loss (ratio, 0 to 1), battery (%), frequency (Hz), calibrated
        (False when the pod's calibration cannot be applied: its values are NaN)."""
        return self._core.stats()

    def _one_controller(self, what):
        if isinstance(self._core, _drfn3.MultiNetwork):
            raise NotAllowedError("%s takes one controller: open it alone" % what)

    def pair(self):
        """Listens 5 s for a pod in pairing mode; returns the serials added to the network."""
        self._one_controller("pair()")
        before = set(self.pods)
        self.properties.run("pairing")
        return [s for s in self.pods if s not in before]

    def switch_off(self):
        """Switches every pod of the network off."""
        self._one_controller("switch_off()")
        self.properties.run("Switch Off")

    def auto_channel(self):
        """Finds a quiet channel, where later transmissions start their search; returns it."""
        self._one_controller("auto_channel()")
        self.properties.run("AutoChannel")
        return self.properties["Channel"]

    def read_calibration(self):
        """The pods' calibration as their EEPROM holds it:
        {serial: {"acc"|"mag"|"gyr": {"gain": 3x3 array, "offset": 3x1 array}}}.
        Values are in the units of UNITS (calibrated = gain x raw - offset). Needs the
        transmission stopped (NotAllowedError otherwise)."""
        self._one_controller("read_calibration()")
        return self._core.read_calibration()

    def write_calibration(self, calibration):
        """Commits calibration to the pods' EEPROM.

        calibration: what read_calibration() gives, or any part of it, e.g.
        {0xA10001: {"gyr": {"offset": [0.01, -0.02, 0.0]}}}: a gain is 3x3, an offset 3
        values. Whatever is not given keeps the value the pod holds (it is read first).
        Every value is checked before anything is sent (InvalidValueError naming the
        expected shape); needs the transmission stopped."""
        self._one_controller("write_calibration()")
        if not isinstance(calibration, collections.abc.Mapping):
            raise InvalidValueError("calibration must be a dict {serial: {sensor: {\"gain\"|\"offset\": matrix}}}")
        entries = []
        seen = set()
        for pod, sensors in calibration.items():
            serial = _serial(pod)
            if serial in seen:
                raise InvalidValueError("Pod %X is given more than once" % serial)
            seen.add(serial)
            if not isinstance(sensors, collections.abc.Mapping):
                raise InvalidValueError("Pod %X: expected {sensor: {\"gain\"|\"offset\": matrix}}" % serial)
            for sensor, values in sensors.items():
                if sensor not in _SENSORS:
                    raise InvalidValueError("Unknown sensor %r: one of %s" % (sensor, ", ".join(_SENSORS)))
                if not isinstance(values, collections.abc.Mapping) or not values:
                    raise InvalidValueError("Pod %X %s: expected {\"gain\": 3x3, \"offset\": 3 values}"
                                            % (serial, sensor))
                for key, matrix in values.items():
                    if key not in ("gain", "offset"):
                        raise InvalidValueError("Pod %X %s: unknown key %r: gain or offset" % (serial, sensor, key))
                    try:
                        array = np.asarray(matrix, dtype=float)
                    except (TypeError, ValueError):
                        raise InvalidValueError("Pod %X %s %s: not numbers" % (serial, sensor, key)) from None
                    if array.ndim > 2:
                        raise InvalidValueError("Pod %X %s %s: %s, not %s" % (
                            serial, sensor, key, "a gain is 3x3" if key == "gain" else "an offset is 3 values",
                            "x".join(map(str, array.shape))))
                    entries.append((serial, _SENSORS.index(sensor), key == "gain", array))
        if not entries:
            raise InvalidValueError("No calibration matrices given")
        self._core.write_calibration(entries)


def _mode(props, name, value):
    """The index of an enumeration property from its label ("8g") or index."""
    choices = props.choices(name)
    if isinstance(value, str):
        for label, index in choices.items():
            if label.lower() == value.strip().lower():
                return index
    elif isinstance(value, (int, np.integer)) and not isinstance(value, bool) and value in choices.values():
        return int(value)
    raise InvalidValueError("%s %r: one of %s" % (name, value, ", ".join(
        "%r (%d)" % (label, index) for label, index in choices.items())))


def _controllers(controllers, pods, every_controller):
    """[(where, [serial, ...]), ...] from open()'s controllers= or every_controller=, None for one controller."""
    if not isinstance(every_controller, (bool, np.bool_)):
        raise InvalidValueError("every_controller must be True or False, not %r" % (every_controller,))
    if every_controller:
        if controllers is not None:
            raise InvalidValueError("controllers and every_controller=True exclude each other")
        if pods is None:
            raise InvalidValueError("every_controller=True looks for the pods of pods=: give them")
        return [("", _serials(pods))]
    if controllers is None:
        return None
    if pods is not None:
        raise InvalidValueError("With controllers, each controller's pods go there, not in pods")
    entries = controllers.items() if isinstance(controllers, collections.abc.Mapping) else controllers
    result = []
    seen = set()
    for entry in entries:
        try:
            where, serials = entry
        except (TypeError, ValueError):
            raise InvalidValueError("controllers: (place, pods) pairs or {place: pods}, not %r" % (entry,)) from None
        if not isinstance(where, str) or not where:
            raise InvalidValueError("A controller's place is a port or identifier, not %r" % (where,))
        serials = _serials(serials)
        for serial in serials:
            if serial in seen:
                raise InvalidValueError("Pod %X is given on two controllers" % serial)
            seen.add(serial)
        result.append((where, serials))
    if not result:
        raise InvalidValueError("controllers names no controller")
    return result


def open(pods=None, frequency=None, channel=None, acc_mode=None, mag_mode=None, gyro=None, log=None, module=None,
         raw=False, orientation=False, orientation_gain=None, six_axis=False, controllers=None,
         every_controller=False):
    """Loads the DRFN3Internal module, sets up the network and connects to the first
    controller found; use the Network it returns in a with block.

    pods: the pods' serials, ints or hexadecimal text (a list, or text separated by ';',
        ',' or blanks), each once; up to 16 at 100 Hz or less, 8 at 125-150 Hz, 5 above
        (generation 2 controllers; 5 on generation 1).
    frequency: sampling frequency in Hz, 25 to 200 in steps of 25 (200 by default).
    channel: radio channel index, 1 to 21, where the search for a quiet channel starts.
    acc_mode: accelerometer range, "2g", "4g" or "8g" (or its index 0-2).
    mag_mode: magnetometer range, "0.88Ga" to "8.10Ga" (or its index 0-7).
    gyro: True or False, the gyroscope on or off.
    log: a file for the controller traffic of this network.
    module: the DRFN3Internal module to load (default: the one installed with the package,
        or $DRFN3_MODULE).
    raw: samples in the pods' raw counts instead of m/s^2, uT and rad/s.
    orientation: each sample also carries its pod's orientation (ORIENTATION_SAMPLE_DTYPE),
        worked out on this computer by a filter per pod from the calibrated samples (with
        raw=True too). It starts from the pod's first sample, bridges lost frames by their
        real time, and starts afresh with each transmission; with the gyroscope off it follows
        the accelerometer and magnetometer alone (orientation_sensors 3).
    orientation_gain: how strongly the accelerometer and magnetometer pull the orientation,
        per second (above 0; 2 by default).
    six_axis: leave the magnetometer out of the orientation (for a disturbed field): the
        heading then comes from the gyroscope alone and drifts.
    controllers: several controllers streaming together on one time base, each with pods of
        its own: {place: pods} or [(place, pods), ...], a place being a port or identifier as
        controllers() lists it (pods= is not given then). read() merges every pod's samples
        in time order; stats() adds each pod's "controller". The other settings go to every
        controller; the time restarts from 0 with each start().
    every_controller: look for each pod of pods= on every controller present and stream
        them all together, as with controllers.

    Every value is checked before the controller is touched (InvalidValueError)."""
    several = _controllers(controllers, pods, every_controller)
    serials = _serials(pods) if pods is not None else None
    if log is not None:
        log = os.fspath(log)
    for name, flag in (("orientation", orientation), ("six_axis", six_axis)):
        if not isinstance(flag, (bool, np.bool_)):
            raise InvalidValueError("%s must be True or False, not %r" % (name, flag))
    if (orientation_gain is not None or six_axis) and not orientation:
        raise InvalidValueError("orientation_gain and six_axis go with orientation=True")
    gain = 0.0
    if orientation_gain is not None:
        try:
            gain = float(orientation_gain)
        except (TypeError, ValueError):
            gain = float("nan")
        if isinstance(orientation_gain, bool) or not 0 < gain < float("inf"):
            raise InvalidValueError("orientation_gain must be a number above 0 (per second), not %r"
                                    % (orientation_gain,))
    if several is None:
        core = _drfn3.Network(_module_path(module), log or "", bool(raw), bool(orientation), gain, not six_axis)
    else:
        core = _drfn3.MultiNetwork(_module_path(module), log or "", bool(raw), bool(orientation), gain, not six_axis,
                                   several)
    network = Network(core, bool(raw), bool(orientation))
    try:
        props = network.properties
        modes = {}
        if acc_mode is not None:
            modes["Acc mode"] = _mode(props, "Acc mode", acc_mode)
        if mag_mode is not None:
            modes["Mag mode"] = _mode(props, "Mag mode", mag_mode)
        if gyro is not None and not isinstance(gyro, (bool, np.bool_, int)):
            raise InvalidValueError("gyro must be True or False, not %r" % (gyro,))
        # The frequency bounds how many pods fit; both are checked before connecting.
        if frequency is not None:
            props["Frequency"] = frequency
        if channel is not None:
            props["Channel"] = channel
        # Several controllers connect when they start, each with its own pods.
        if several is None:
            core.connect()
        # The filter knows how many pods fit only once it knows the controller.
        if serials is not None and several is None:
            props["serial"] = serials
        for name, index in modes.items():
            props[name] = index
        if gyro is not None:
            props["Gyro On"] = bool(gyro)
    except BaseException:
        network.close()
        raise
    return network


class Simulator:
    """A simulated controller with pods on a pseudo-terminal, in this process, in real time.

    While it runs, controllers() and open() find it. generation: 1 or 2; pods: a count
    (serials A10001, A10002, ...) or serials; rate: frames per second per pod instead of the
    network's; faults: probabilities (0 to 1) by name (corrupt_byte, drop_byte, garbage,
    wrong_echo, controller_timeout, drop_frame); busy_channels: radio channel indices (0-31)
    with noise on them; seed: of the simulated noise and motion; record: keep every frame
    sent, for frames(); instant: replies without the radio's modelled latency (frames keep
    their period), for quicker tests. A context manager: start() and stop()."""

    def __init__(self, generation=2, pods=3, rate=None, faults=None, busy_channels=(), seed=1, record=False,
                 instant=False):
        if generation not in (1, 2):
            raise InvalidValueError("generation must be 1 or 2, not %r" % (generation,))
        serials = [0xA10001 + i for i in range(pods)] if isinstance(pods, int) else _serials(pods)
        self._generation = generation
        self._core = _drfn3.Simulator(generation, serials, float(rate or 0), dict(faults or {}),
                                      list(busy_channels), seed, record, instant)
        self._previous = None
        self._started = False

    def start(self):
        """Serves the simulator and points discovery at it; returns self."""
        if self._started:
            return self
        self._core.start()
        variable = _PORTS[self._generation]
        self._previous = os.environ.get(variable)
        os.environ[variable] = self.port + (":" + self._previous if self._previous else "")
        self._started = True
        return self

    def stop(self):
        """Stops serving and takes it out of discovery."""
        if not self._started:
            return
        self._core.stop()
        variable = _PORTS[self._generation]
        if self._previous is None:
            os.environ.pop(variable, None)
        else:
            os.environ[variable] = self._previous
        self._started = False

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def generation(self):
        """The controller's generation, 1 or 2."""
        return self._generation

    @property
    def port(self):
        """The pseudo-terminal's stable path, as discovery lists it."""
        return self._core.port()

    @property
    def pods(self):
        """The simulated pods' serials."""
        return list(self._core.pods())

    @property
    def running(self):
        """True while it serves."""
        return self._core.running()

    @property
    def transmitting(self):
        """True while its controller is in transmission."""
        return self._core.transmitting()

    def channels(self):
        """Channel index of the controller (key "controller") and of each pod."""
        return self._core.channels()

    def calibration(self, serial):
        """What a pod's EEPROM holds, seen from the pod: {"acc"|"mag"|"gyr": {"gain", "offset"}}."""
        return self._core.calibration(_serial(serial))

    def frames(self, serial):
        """What a pod sent (record=True): rows of frame number, the nine raw sensor values and
        the status byte."""
        return self._core.frames(_serial(serial))

    def clear_record(self):
        """Forgets the frames recorded so far."""
        self._core.clear_record()
