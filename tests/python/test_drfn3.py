import os
import signal
import threading
import time

import numpy as np
import pytest

import drfn3

realtime = pytest.mark.realtime


def test_bad_arguments_raise_the_systems_messages():
    with pytest.raises(drfn3.InvalidValueError, match="Not a valid hexadecimal integer") as bad:
        drfn3.open(pods=["A10001", "XYZ"])
    assert isinstance(bad.value, ValueError) and isinstance(bad.value, drfn3.Error)
    with pytest.raises(drfn3.NotFoundError, match="does not exist"):
        drfn3.open(module="/nonexistent/libDRFN3Internal.so")
    with pytest.raises(drfn3.InvalidValueError, match="Unknown fault frames"):
        drfn3.Simulator(faults={"frames": 0.1})
    with pytest.raises(drfn3.NotFoundError, match="No Motion Controller available"):
        drfn3.open(pods=[0xA10001])


@pytest.fixture(scope="module")
def sim():
    with drfn3.Simulator(pods=3, record=True, instant=True) as simulator:
        yield simulator
    assert "ORLAN_TARNLINK_PORTS" not in os.environ or simulator.port not in os.environ["ORLAN_TARNLINK_PORTS"]


@realtime
def test_three_pods_stream_what_the_simulator_sent_until_interrupted(sim):
    found = [c for c in drfn3.controllers() if c.where == sim.port]
    assert found and found[0].usable and found[0].generation == 2
    # Ctrl-C during a long read ends it early only if the GIL is free for the timer thread;
    # leaving the block by it must stop the pods and bring everything back to channel 0.
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    with pytest.raises(KeyboardInterrupt):
        with drfn3.open(pods=sim.pods, frequency=100, channel=9) as net:
            sim.clear_record()
            net.start()
            data = net.read(seconds=1.0)
            first = next(net.samples())
            assert first["serial"] in sim.pods and first["time"] >= data["time"][-1]
            assert sim.transmitting and sim.channels()["controller"] != 0
            assert len(net.read(n=30)) == 30
            stats = net.stats()
            timer.start()
            began = time.monotonic()
            net.read(seconds=10)
    assert time.monotonic() - began < 3
    assert not sim.transmitting
    assert set(sim.channels().values()) == {0}

    assert data.dtype == drfn3.SAMPLE_DTYPE
    assert np.all(np.diff(data["time"]) >= 0)
    for serial in sim.pods:
        mine = data[data["serial"] == serial]
        assert len(mine) >= 80, hex(serial)
        assert np.all(np.diff(mine["frame"]) == 1)
        assert np.all(mine["loss"] == 0)
        sent = {int(row[0]): row for row in sim.frames(serial)}
        for sample in mine:
            row = sent[int(sample["frame"])]
            values = [sample[k] for k in ("ax", "ay", "az", "mx", "my", "mz", "gx", "gy", "gz")]
            assert values == list(row[1:10])
            assert sample["button"] == int(row[10]) & 1
            assert sample["battery"] == ((int(row[10]) >> 1 & 7) + 1) * 12.5
        assert stats[serial]["samples"] >= len(mine)
        assert stats[serial]["rate"] == pytest.approx(100, rel=0.01)
        assert stats[serial]["loss"] == 0


@realtime
def test_calibration_round_trips_through_the_pods(sim):
    pods = sim.pods[:2]
    with drfn3.open(pods=pods) as net:
        before = net.read_calibration()
        assert sorted(before) == sorted(pods)
        for serial in pods:
            for sensor in ("acc", "mag", "gyr"):
                assert before[serial][sensor]["gain"].shape == (3, 3)
                assert before[serial][sensor]["offset"].shape == (3, 1)
        gain = np.array([[1.5, 0.01, -0.02], [0.03, 0.98, 0.0], [-0.01, 0.02, 1.01]])
        offset = [12.5, -3.25, 0.125]
        net.write_calibration({format(pods[1], "x"): {"gyr": {"gain": gain, "offset": offset}}})
        after = net.read_calibration()
        with pytest.raises(drfn3.InvalidValueError, match="Unknown sensor"):
            net.write_calibration({pods[1]: {"temperature": {"gain": gain}}})
    np.testing.assert_allclose(after[pods[1]]["gyr"]["gain"], gain)
    np.testing.assert_allclose(after[pods[1]]["gyr"]["offset"].ravel(), offset)
    np.testing.assert_allclose(after[pods[1]]["acc"]["gain"], before[pods[1]]["acc"]["gain"])
    np.testing.assert_allclose(after[pods[0]]["gyr"]["gain"], before[pods[0]]["gyr"]["gain"])


@realtime
def test_properties_round_trip(sim):
    with drfn3.open(pods=sim.pods, frequency=50) as net:
        props = net.properties
        assert props["Frequency"] == 50 and props["connection"] is True
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
def test_frames_lost_on_the_radio_show_as_gaps_and_loss():
    with drfn3.Simulator(pods=1, faults={"drop_frame": 0.1}, record=True, instant=True) as lossy:
        with pytest.raises(drfn3.Error, match="record=False"):
            drfn3.Simulator(pods=["a10005"]).frames(0xA10005)
        with drfn3.open(pods=lossy.pods, frequency=100) as net:
            lossy.clear_record()
            data = net.read(seconds=2.5)
            stats = net.stats()[lossy.pods[0]]
    gaps = np.diff(data["frame"])
    assert np.all(gaps >= 1) and np.any(gaps > 1)
    received = {int(row[0]) for row in lossy.frames(lossy.pods[0])}
    assert set(data["frame"].tolist()) <= received
    assert 0.02 < stats["loss"] < 0.25 and data["loss"][-1] == stats["loss"]
