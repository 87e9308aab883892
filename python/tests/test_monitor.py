"""Hot-plug: the device monitor and a camera that vanishes under an open IMU."""

import selectors

import pytest

import morvane_uvc_stereo as m
from conftest import drain_until_error, expect_error

E = m.ErrorCode
K = m.DeviceEventKind


def test_monitor_reports_unplug_and_replug(sim, info):
    with m.open_device_monitor() as monitor:
        assert monitor.devices() == [info] and monitor.read_events() == []
        assert monitor.wait(0.0) == []
        sim.unplug()
        assert not sim.plugged_in and m.scan_devices() == []
        selector = selectors.DefaultSelector()
        selector.register(monitor, selectors.EVENT_READ)  # fileno() works with selectors
        assert selector.select(timeout=5)
        events = monitor.read_events()
        assert [(e.kind, e.device.serial) for e in events] == [(K.REMOVED, "SIM0001")]
        assert monitor.devices() == []
        sim.replug()
        events = monitor.wait(5.0)
        assert [e.kind for e in events] == [K.ARRIVED]
        arrived = events[0].device
        assert arrived.device_address != info.device_address and monitor.devices() == [arrived]
        selector.close()
    assert not monitor.is_open and monitor.fileno() == -1
    expect_error(monitor.read_events, E.INVALID_ARGUMENT, "device monitor is closed")
    expect_error(lambda: monitor.wait(0.1), E.INVALID_ARGUMENT, "device monitor is closed")
    with pytest.raises(ValueError):
        m.open_device_monitor(pid=1 << 16)


def test_filtered_monitor_ignores_other_cameras(sim):
    with m.open_device_monitor(vid=0x1234) as monitor:
        assert monitor.devices() == []
        sim.unplug()
        sim.replug()
        assert monitor.wait(0.2) == []


def test_vanished_camera_fails_the_imu_and_releases_the_node(sim, info):
    with m.open_device(info, m.DeviceCapability.NONE) as dev:
        stream = dev.open_imu_stream()
        next(stream)
        sim.unplug()
        # Samples the stream had already received come first, then the failure.
        error = drain_until_error(stream)
        assert isinstance(error, m.DeviceError) and error.code == E.IO_ERROR
        assert error.message == f"UVCIOC_CTRL_QUERY {info.video_node} failed: No such device"
        expect_error(stream.next, error.code, error.message)  # the stream stays ended
        expect_error(dev.read_imu, error.code, error.message)
        assert sim.open_video_nodes == 1  # the node stays open until the IMU is closed
    assert sim.open_video_nodes == 0


def test_simulation_switch_closes_monitors():
    with m.simulated_camera():
        monitor = m.open_device_monitor()
        assert monitor.is_open
    assert not monitor.is_open
    expect_error(monitor.read_events, E.INVALID_ARGUMENT, "device monitor is closed")
