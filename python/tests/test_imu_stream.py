"""The IMU stream from Python: one by one, in numpy batches, and its failures."""

import numpy as np
import pytest

import morvane_uvc_stereo as m
from conftest import drain_until_error, expect_error

E = m.ErrorCode


def stream_samples(batch, count):
    """count samples from a fresh simulated camera, one by one or in batches."""
    with m.simulated_camera():
        info, = m.scan_devices()
        with m.open_device(info, m.DeviceCapability.NONE) as dev:
            stream = dev.open_imu_stream()
            if batch:
                parts = [stream.next_batch(n) for n in (1, count // 2 - 1, 0, count - count // 2)]
                return np.concatenate(parts)
            return [s for _, s in zip(range(count), stream)]


def test_batch_matches_one_by_one():
    count = 600
    rows = stream_samples(True, count)
    samples = stream_samples(False, count)
    assert rows.dtype == m.IMU_SAMPLE_DTYPE and rows.shape == (count,)
    for name, pick in [("time_ns", lambda s: s.time_ns), ("host_ns", lambda s: s.host_ns),
                       ("read_ns", lambda s: s.raw.timestamp_ns), ("device_counter", lambda s: s.device_counter),
                       ("sequence", lambda s: s.sequence), ("missed", lambda s: s.missed_before),
                       ("temperature_c", lambda s: s.value.temperature_c), ("accel_g", lambda s: s.value.accel_g),
                       ("gyro_dps", lambda s: s.value.gyro_dps),
                       ("discontinuity", lambda s: s.discontinuity)]:
        assert np.array_equal(rows[name], np.array([pick(s) for s in samples])), name


def test_stream_properties_hold_in_the_batch():
    rows = stream_samples(True, 1000)
    assert np.array_equal(rows["sequence"], np.arange(1000))
    assert np.all(np.diff(rows["time_ns"].astype(np.int64)) >= 0)
    assert np.all(rows["time_ns"] <= rows["host_ns"])
    assert np.all(np.diff(rows["device_counter"].astype(np.int64)) > 0)
    # The simulated camera sits still but for a slow turn: about 1 g, about 25 dps.
    assert np.allclose(np.linalg.norm(rows["accel_g"], axis=1), 1.0, atol=0.1)
    assert np.allclose(np.linalg.norm(rows["gyro_dps"], axis=1), 25.0, atol=3.0)


def test_stream_state_and_failures(sim, info):
    with m.open_device(info) as dev:
        expect_error(lambda: dev.open_imu_stream(sample_rate_hz=-5.0), E.INVALID_ARGUMENT,
                     "IMU stream option sample_rate_hz is out of range (valid: 0, or 1 to 10000)")
        assert sim.open_video_nodes == 0  # a bad option touches nothing
        with dev.open_imu_stream(stall_timeout_ms=50) as stream:
            first = next(stream)
            assert first.sequence == 0 and first.value.timestamp_ns == first.time_ns
            assert stream.stats.samples == 1 and stream.is_open
            dev.close_imu()
            # Closing the IMU ends the stream with the device's own failure (after any
            # samples it had already received), every time.
            error = drain_until_error(stream)
            assert (error.code, error.message) == (E.INVALID_ARGUMENT, "IMU is not open")
            expect_error(stream.next, E.INVALID_ARGUMENT, "IMU is not open")
            expect_error(lambda: stream.next_batch(0), E.INVALID_ARGUMENT, "IMU is not open")
        assert not stream.is_open
        expect_error(stream.next, E.INVALID_ARGUMENT, "IMU stream is closed or moved-from")


def test_stream_outlives_a_closed_device(info):
    dev = m.open_device(info)
    stream = dev.open_imu_stream()
    assert stream.next_batch(5).shape == (5,)
    dev.close()
    error = drain_until_error(stream)
    assert (error.code, error.message) == (E.INVALID_ARGUMENT, "device is closed or moved-from")


def test_clock_estimate_locks_on_the_drift(info):
    with m.open_device(info, m.DeviceCapability.NONE) as dev:
        stream = dev.open_imu_stream()
        stream.next_batch(200 * 5)  # five seconds at the camera's 200 Hz
        estimate = stream.clock_estimate
        assert estimate.rate_locked
        assert estimate.sample_rate_hz == pytest.approx(200.0, rel=1e-3)
        assert estimate.drift_ppm == pytest.approx(80.0, abs=20.0)


def test_an_interrupted_batch_keeps_its_samples(info):
    import os
    import signal
    import threading
    # Python's own Ctrl-C handler, also when this process was started with
    # SIGINT ignored (as a shell starts a background job).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    with m.open_device(info, m.DeviceCapability.NONE) as dev:
        stream = dev.open_imu_stream()
        # Far more than can be read before the signal: the batch must give way to it.
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                stream.next_batch(10**12)
        finally:
            timer.join()
            signal.signal(signal.SIGINT, previous)
        taken = stream.stats.samples  # read from the device before the signal
        assert taken > 0
        rows = stream.next_batch(taken + 10)
        assert np.array_equal(rows["sequence"], np.arange(taken + 10)), "samples read before the signal were lost"
        assert next(stream).sequence == taken + 10


def test_batch_counts_and_numpy_are_checked_before_reading(info, monkeypatch):
    import sys
    with m.open_device(info, m.DeviceCapability.NONE) as dev:
        stream = dev.open_imu_stream()
        for count in (-1, 2**63, 10**30):
            with pytest.raises(ValueError, match="count must be from 0 to"):
                stream.next_batch(count)
        with pytest.raises(TypeError):
            stream.next_batch(2.5)
        monkeypatch.setitem(sys.modules, "numpy", None)  # as without numpy
        with pytest.raises(ImportError):
            stream.next_batch(100)
        monkeypatch.undo()
        assert stream.stats.samples == 0, "samples were read for an array that could not be made"
        assert stream.next_batch(3)["sequence"].tolist() == [0, 1, 2]
