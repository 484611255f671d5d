import datetime
import os
import signal
import threading
import time

import numpy as np
import pytest

import drfn3

realtime = pytest.mark.realtime

SENSORS = {"acc": ("ax", "ay", "az"), "mag": ("mx", "my", "mz"), "gyr": ("gx", "gy", "gz")}
UNIT_SUFFIX = {"acc": "_m_s2", "mag": "_uT", "gyr": "_rad_s"}


ORIENTATION = ("qw", "qx", "qy", "qz", "roll_deg", "pitch_deg", "yaw_deg", "orientation_sensors")


def columns(sensor, raw=False):
    return [axis + ("_counts" if raw else UNIT_SUFFIX[sensor]) for axis in SENSORS[sensor]]


def test_bad_arguments_are_refused_before_anything_is_touched():
    with pytest.raises(drfn3.InvalidValueError, match="Not a valid hexadecimal integer") as bad:
        drfn3.open(pods=["A10001", "XYZ"])
    assert isinstance(bad.value, ValueError) and isinstance(bad.value, drfn3.Error)
    with pytest.raises(drfn3.InvalidValueError, match="A10001 is given more than once"):
        drfn3.open(pods=["a10001", 0xA10001])
    with pytest.raises(drfn3.NotFoundError, match="does not exist"):
        drfn3.open(module="/nonexistent/libDRFN3Internal.so")
    with pytest.raises(drfn3.InvalidValueError, match="'2g' \\(0\\), '4g' \\(1\\), '8g' \\(2\\)"):
        drfn3.open(pods=[0xA10001], acc_mode="16g")
    with pytest.raises(drfn3.InvalidValueError, match="4.00Ga"):
        drfn3.open(pods=[0xA10001], mag_mode=9)
    with pytest.raises(drfn3.InvalidValueError):
        drfn3.open(pods=[0xA10001], frequency=1000)
    with pytest.raises(drfn3.InvalidValueError, match="Unknown fault frames"):
        drfn3.Simulator(faults={"frames": 0.1})
    with pytest.raises(drfn3.InvalidValueError, match="generation must be 1 or 2"):
        drfn3.Simulator(generation=3)
    with pytest.raises(drfn3.InvalidValueError, match="orientation_gain must be a number above 0"):
        drfn3.open(pods=[0xA10001], orientation=True, orientation_gain=0)
    with pytest.raises(drfn3.InvalidValueError, match="go with orientation=True"):
        drfn3.open(pods=[0xA10001], six_axis=True)
    with pytest.raises(drfn3.NotFoundError, match="No Motion Controller available"):
        drfn3.open(pods=[0xA10001], acc_mode="8G")
    with pytest.raises(drfn3.InvalidValueError, match="A10001 is given on two controllers"):
        drfn3.open(controllers={"one": [0xA10001], "two": ["A10002", "a10001"]})
    with pytest.raises(drfn3.InvalidValueError, match="not in pods"):
        drfn3.open(pods=[0xA10001], controllers={"one": [0xA10002]})
    with pytest.raises(drfn3.InvalidValueError, match="exclude each other"):
        drfn3.open(pods=[0xA10001], controllers={"one": [0xA10002]}, every_controller=True)


def test_the_package_describes_itself():
    assert drfn3.__version__.count(".") == 2
    for name in drfn3.__all__:
        item = getattr(drfn3, name)
        if callable(item) and not name.endswith("Error"):
            assert item.__doc__, name
    for cls in (drfn3.Network, drfn3.Simulator, drfn3.Properties):
        for name, member in vars(cls).items():
            if not name.startswith("_"):
                assert (member.fget if isinstance(member, property) else member).__doc__, cls.__name__ + "." + name
    package = os.path.dirname(drfn3.__file__)
    for typing_file in ("py.typed", "__init__.pyi", "_drfn3.pyi"):
        assert os.path.isfile(os.path.join(package, typing_file)), typing_file
    # The same record, two names for its values; views, never copies.
    assert drfn3.RAW_SAMPLE_DTYPE.itemsize == drfn3.SAMPLE_DTYPE.itemsize
    assert "ax_counts" in drfn3.RAW_SAMPLE_DTYPE.names and "ax_m_s2" in drfn3.SAMPLE_DTYPE.names
    # The orientation's fields are added; every other field stays where it was.
    oriented = drfn3.ORIENTATION_SAMPLE_DTYPE
    assert oriented.itemsize == drfn3.SAMPLE_DTYPE.itemsize
    assert all(oriented.fields[name] == drfn3.SAMPLE_DTYPE.fields[name] for name in drfn3.SAMPLE_DTYPE.names)
    assert set(oriented.names) - set(drfn3.SAMPLE_DTYPE.names) == set(ORIENTATION)
    assert "ax_counts" in drfn3.RAW_ORIENTATION_SAMPLE_DTYPE.names and "qw" in drfn3.RAW_ORIENTATION_SAMPLE_DTYPE.names


@pytest.fixture(scope="module")
def sim():
    with drfn3.Simulator(pods=3, record=True, instant=True) as simulator:
        yield simulator
    assert "ORLAN_TARNLINK_PORTS" not in os.environ or simulator.port not in os.environ["ORLAN_TARNLINK_PORTS"]


def calibrated(sample, calibration, sensor):
    """gain x raw - offset, worked out here from the pod's own EEPROM."""
    gain = np.asarray(calibration[sensor]["gain"])
    offset = np.asarray(calibration[sensor]["offset"]).ravel()
    return gain @ np.array(sample, dtype=float) - offset


@realtime
def test_three_pods_stream_what_the_simulator_sent_in_physical_units(sim):
    found = [c for c in drfn3.controllers() if c.where == sim.port]
    assert found and found[0].usable and found[0].generation == 2
    # Ctrl-C during a long read ends it early only if the GIL is free for the timer thread;
    # leaving the block by it must stop the pods and bring everything back to channel 0.
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    with pytest.raises(KeyboardInterrupt):
        with drfn3.open(pods=sim.pods, frequency=100, channel=9, acc_mode="4g") as net:
            sim.clear_record()
            before = time.time()
            net.start()
            # By count, not by time: a loaded machine must not make the run short.
            data = net.read(n=300)
            assert net.first_sample_utc.timestamp() == pytest.approx(before, abs=30)
            assert net.first_sample_utc.tzinfo == datetime.timezone.utc
            assert net.first_sample_time == data["time_s"][0]
            # Broken out of after three samples, samples() keeps the rest of its batch.
            taken = []
            for sample in net.samples():
                taken.append(sample)
                if len(taken) == 3:
                    break
            rest = net.read(n=60)
            assert sim.transmitting and sim.channels()["controller"] != 0
            stats = net.stats()
            timer.start()
            began = time.monotonic()
            net.read(seconds=10)
    assert time.monotonic() - began < 3
    assert not sim.transmitting
    assert set(sim.channels().values()) == {0}

    assert data.dtype == drfn3.SAMPLE_DTYPE
    assert np.all(np.diff(data["time_s"]) >= 0)
    after = np.concatenate([np.array(taken, dtype=drfn3.SAMPLE_DTYPE), rest])
    for serial in sim.pods:
        mine = data[data["serial"] == serial]
        assert len(mine) >= 80, hex(serial)
        assert np.all(np.diff(mine["frame"]) == 1)
        assert np.all(mine["loss"] == 0)
        # Every frame of the pod once, across read(), samples() broken out of, and read().
        later = after[after["serial"] == serial]["frame"]
        assert list(later) == list(range(mine["frame"][-1] + 1, mine["frame"][-1] + 1 + len(later)))
        sent = {int(row[0]): row for row in sim.frames(serial)}
        eeprom = sim.calibration(serial)
        for sample in mine[::10]:
            row = sent[int(sample["frame"])]
            for k, sensor in enumerate(SENSORS):
                expected = calibrated(row[1 + 3 * k:4 + 3 * k], eeprom, sensor)
                np.testing.assert_allclose([sample[c] for c in columns(sensor)], expected, rtol=1e-12, atol=1e-12)
            assert sample["button"] == int(row[10]) & 1
            assert sample["battery_pct"] == ((int(row[10]) >> 1 & 7) + 1) * 12.5
        # A pod in gravity, whatever its turn.
        norms = np.sqrt(sum(mine[c] ** 2 for c in columns("acc")))
        np.testing.assert_allclose(norms, 9.80665, atol=0.1)
        assert stats[serial]["samples"] >= len(mine)
        assert stats[serial]["rate"] == pytest.approx(100, rel=0.01)
        assert stats[serial]["loss"] == 0 and stats[serial]["calibrated"]


def rotate(q, v):
    """q v q* for arrays of unit quaternions (w, x, y, z) and vectors."""
    w, u = q[:, :1], q[:, 1:]
    return v + 2 * np.cross(u, np.cross(u, v) + w * v)


@realtime
def test_orientation_takes_what_the_pods_measure_to_the_simulated_world(sim):
    with drfn3.open(pods=sim.pods, frequency=100, orientation=True) as net:
        assert net.dtype == drfn3.ORIENTATION_SAMPLE_DTYPE
        data = net.read(n=600)
    assert data.dtype == drfn3.ORIENTATION_SAMPLE_DTYPE
    assert set(data["serial"]) == set(sim.pods)
    assert np.all(data["orientation_sensors"] == 7)
    q = np.stack([data[c] for c in ("qw", "qx", "qy", "qz")], axis=1)
    np.testing.assert_allclose(np.linalg.norm(q, axis=1), 1, atol=1e-9)
    # The pods only turn, so turned into the world their accelerometer shows gravity straight
    # up and their magnetometer the simulated field: north, 60 degrees below the horizon.
    up = rotate(q, np.stack([data[c] for c in columns("acc")], axis=1))
    field = rotate(q, np.stack([data[c] for c in columns("mag")], axis=1))
    np.testing.assert_allclose(up[:, 2], 9.80665, atol=0.3)
    assert np.abs(up[:, :2]).max() < 0.5
    np.testing.assert_allclose(np.degrees(np.arctan2(field[:, 2], field[:, 0])), -60, atol=2)
    assert np.abs(field[:, 1]).max() < 1.5
    # Roll, pitch, yaw: the Z-Y-X angles of the same turn (compared across the wrap at 180).
    w, x, y, z = q.T
    for name, angle in (("roll_deg", np.arctan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y))),
                        ("pitch_deg", np.arcsin(2 * (w * y - z * x))),
                        ("yaw_deg", np.arctan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z)))):
        difference = np.remainder(data[name] - np.degrees(angle) + 180, 360) - 180
        assert np.abs(difference).max() < 1e-6, name


@realtime
def test_calibration_round_trips_and_a_part_keeps_the_rest(sim):
    pods = sim.pods[:2]
    factory = {serial: sim.calibration(serial) for serial in pods}
    with drfn3.open(pods=pods) as net:
        # Only one offset, before anything was read in this session: nothing else may change.
        offset = [0.012, -0.034, 0.005]
        net.write_calibration({pods[0]: {"gyr": {"offset": offset}}})
        held = sim.calibration(pods[0])
        np.testing.assert_allclose(held["gyr"]["offset"].ravel(), offset)
        for sensor in SENSORS:
            np.testing.assert_array_equal(held[sensor]["gain"], factory[pods[0]][sensor]["gain"])
            if sensor != "gyr":
                np.testing.assert_array_equal(held[sensor]["offset"], factory[pods[0]][sensor]["offset"])

        before = net.read_calibration()
        assert sorted(before) == sorted(pods)
        for serial in pods:
            for sensor in SENSORS:
                assert before[serial][sensor]["gain"].shape == (3, 3)
                assert before[serial][sensor]["offset"].shape == (3, 1)
        gain = np.array([[1.5, 0.01, -0.02], [0.03, 0.98, 0.0], [-0.01, 0.02, 1.01]])
        net.write_calibration({format(pods[1], "x"): {"gyr": {"gain": gain, "offset": [12.5, -3.25, 0.125]}}})
        after = net.read_calibration()

        # Refused before anything is sent, naming what was expected.
        untouched = sim.calibration(pods[1])
        for bad, message in (({pods[1]: {"temperature": {"gain": gain}}}, "Unknown sensor"),
                             ({pods[1]: {"acc": {"gain": np.eye(2)}}}, "a gain is 3x3, not 2x2"),
                             ({pods[1]: {"acc": {"offset": [1, 2]}}}, "an offset is 3 values"),
                             ({pods[1]: {"acc": {"gain": [[1, 0, 0], [0, np.nan, 0], [0, 0, 1]]}}}, "finite"),
                             ({pods[1]: {"acc": {"scale": gain}}}, "unknown key"),
                             ({pods[1]: {"acc": {"offset": [0, 0, 0]}}, format(pods[1], "X"): {}}, "more than once"),
                             ({0xB00001: {"acc": {"offset": [0, 0, 0]}}}, "not one of the known pods")):
            with pytest.raises(drfn3.InvalidValueError, match=message):
                net.write_calibration(bad)
        assert all(np.array_equal(sim.calibration(pods[1])[s][k], untouched[s][k])
                   for s in SENSORS for k in ("gain", "offset"))

        net.start()
        with pytest.raises(drfn3.NotAllowedError, match="Stop transmission first"):
            net.read_calibration()
    np.testing.assert_allclose(after[pods[1]]["gyr"]["gain"], gain)
    np.testing.assert_allclose(after[pods[1]]["gyr"]["offset"].ravel(), [12.5, -3.25, 0.125])
    np.testing.assert_allclose(after[pods[1]]["acc"]["gain"], before[pods[1]]["acc"]["gain"])
    np.testing.assert_allclose(after[pods[0]]["gyr"]["gain"], before[pods[0]]["gyr"]["gain"])


@realtime
def test_properties_round_trip(sim):
    with drfn3.open(pods=sim.pods, frequency=50) as net:
        props = net.properties
        assert props["Frequency"] == 50 and props["connection"] is True
        assert props.choices("Acc mode") == {"2g": 0, "4g": 1, "8g": 2}
        for name in list(props):
            described = props.describe(name)
            if described["writable"] and described["kind"] != "command":
                value = props[name]
                props[name] = value
                assert props[name] == value, name
        props["Channel"] = 3
        props["Gyro On"] = False
        props["serial"] = [sim.pods[1], "a10001"]
        assert (props["Channel"], props["Gyro On"]) == (3, False)
        assert net.pods == [sim.pods[1], sim.pods[0]]
        with pytest.raises(KeyError):
            props["No such property"]
        with pytest.raises(drfn3.NotFoundError) as unknown:
            props["No such property"] = 1
        assert "No such property" in str(unknown.value)
        with pytest.raises(drfn3.InvalidValueError) as refused:
            props["Frequency"] = 100000
        assert str(refused.value)


@realtime
def test_one_network_at_a_time_and_none_after_close(sim):
    with drfn3.open(pods=sim.pods) as net:
        with pytest.raises(drfn3.Error, match="Another drfn3 network is open"):
            drfn3.open(pods=sim.pods)
        assert net.connected
    assert not net.connected
    with pytest.raises(drfn3.Error, match="The network is closed"):
        net.read(n=1)
    with drfn3.open(pods=sim.pods[:1]) as again:
        assert again.pods == sim.pods[:1]


@realtime
def test_ctrl_c_during_the_start_stops_it_at_once_on_channel_zero(sim):
    with drfn3.open(pods=sim.pods, frequency=100) as net:
        timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        began = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            net.start()  # about 5 s of checks, calibration reads and channel search
        stopped = time.monotonic() - began
        assert not net.transmitting
    assert stopped < 1.0 + 0.5 + 0.3, stopped
    assert not sim.transmitting and set(sim.channels().values()) == {0}


@realtime
def test_sixteen_pods_at_100_hz_and_raw_counts():
    with drfn3.Simulator(pods=16, instant=True, record=True) as many:
        with drfn3.open(pods=many.pods, frequency=100, raw=True) as net:
            assert net.pods == many.pods
            data = net.read(n=16 * 90)
    assert data.dtype == drfn3.RAW_SAMPLE_DTYPE
    assert set(data["serial"]) == set(many.pods)
    for serial in many.pods:
        mine = data[data["serial"] == serial]
        sent = {int(row[0]): row for row in many.frames(serial)}
        assert len(mine) >= 80
        for sample in mine[::20]:
            row = sent[int(sample["frame"])]
            assert [sample[c] for s in SENSORS for c in columns(s, raw=True)] == list(row[1:10])


@realtime
def test_two_controllers_stream_into_one_array_in_time_order():
    first, second = [0xA10001, 0xA10002], [0xA10101, 0xA10102]
    with drfn3.Simulator(pods=first, instant=True, seed=2) as one, \
            drfn3.Simulator(pods=second, instant=True, seed=3) as two:
        with drfn3.open(controllers=[(one.port, first), (two.port, second)], frequency=100,
                        orientation=True) as net:
            assert net.pods == first + second
            with pytest.raises(drfn3.NotAllowedError, match="one controller"):
                net.read_calibration()
            data = net.read(seconds=1.5)
            more = net.read(n=10)
            stats = net.stats()
            assert net.first_sample_time == data["time_s"][0]
        assert not one.transmitting and not two.transmitting
    assert data.dtype == drfn3.ORIENTATION_SAMPLE_DTYPE and len(more) == 10
    data = np.concatenate([data, more])
    assert np.all(np.diff(data["time_s"]) >= 0)
    for serial in first + second:
        mine = data[data["serial"] == serial]
        # 100 Hz for 1.5 s, and nothing lost between the reads.
        assert len(mine) >= 120, hex(serial)
        assert np.all(np.diff(mine["frame"]) == 1), hex(serial)
        assert np.all(mine["orientation_sensors"] == 7) and np.all(np.isfinite(mine["qw"])), hex(serial)
        assert stats[serial]["samples"] >= len(mine)
        assert stats[serial]["controller"] == (one.port if serial in first else two.port)


@realtime
def test_generation_1_on_a_serial_port(monkeypatch):
    # Generation 2 controllers come first: none may be listed.
    monkeypatch.setenv("ORLAN_TARNLINK_PORTS", "")
    with drfn3.Simulator(generation=1, pods=1, instant=True) as first:
        assert first.generation == 1
        with drfn3.open(pods=first.pods, frequency=100) as net:
            assert net.properties["Ctrl HW"] == "1.0 (FTDI)"
            assert len(net.read(n=20)) == 20


@realtime
def test_frames_lost_on_the_radio_show_as_gaps_and_loss():
    with drfn3.Simulator(pods=1, faults={"drop_frame": 0.1}, record=True, instant=True) as lossy:
        with pytest.raises(drfn3.Error, match="record=False"):
            drfn3.Simulator(pods=["a10005"]).frames(0xA10005)
        with drfn3.open(pods=lossy.pods, frequency=100) as net:
            lossy.clear_record()
            # The loss ratio is first published after a window of 200 frames.
            data = net.read(n=240)
            stats = net.stats()[lossy.pods[0]]
    gaps = np.diff(data["frame"])
    assert np.all(gaps >= 1) and np.any(gaps > 1)
    received = {int(row[0]) for row in lossy.frames(lossy.pods[0])}
    assert set(data["frame"].tolist()) <= received
    assert 0.02 < stats["loss"] < 0.25 and data["loss"][-1] == stats["loss"]


@realtime
def test_a_fixed_message_carries_its_reason_as_cause():
    # Every pod register reply is the controller's time-out: the pod is never heard.
    with drfn3.Simulator(pods=1, faults={"controller_timeout": 1.0}, instant=True) as silent:
        with drfn3.open(pods=silent.pods) as net:
            with pytest.raises(drfn3.DeviceError, match="^Error while reading Drfn calib info$") as failed:
                net.read_calibration()
    cause = failed.value.__cause__
    assert isinstance(cause, drfn3.DeviceError) and str(cause) == "Could not reach driftnode 0xA10001"
