"""Stereo frames and framesets from Python: numpy views into the driver's buffers, their lifetime, waits."""

import gc
import threading

import numpy as np
import pytest

import morvane_uvc_stereo as m
from conftest import expect_error

E = m.ErrorCode


def test_frames_stream_as_views_and_gray(info):
    with m.open_stereo_capture(info) as cap:
        fmt = cap.format
        assert cap.is_open and cap.fileno() == cap.fd >= 0
        frames = [cap.next(timeout=5.0) for _ in range(4)]
        seqs = [f.sequence for f in frames]
        times = [f.time_ns for f in frames]
        assert all(b > a for a, b in zip(seqs, seqs[1:])), seqs
        assert all(b > a for a, b in zip(times, times[1:])), times
        f = frames[-1]
        left, right = f.left, f.right
        assert left.shape == right.shape == (fmt.height, fmt.width // 2, 2) and left.dtype == np.uint8
        assert left.strides[0] == fmt.stride and not left.flags.writeable
        # No copy: repeated access and the two eyes share the frame's one buffer.
        assert np.shares_memory(left, f.left)
        assert left.base is not None
        views_y = [fr.left[:, :, 0].copy() for fr in frames]
        for fr in frames:
            fr.release()
            assert fr.left is None and not fr.holds_buffer
        del f, left, right
        gc.collect()  # the arrays' holds go: the node can close
    with m.open_stereo_capture(info, output="gray") as cap:
        g = cap.next(timeout=5.0)
        assert g.left.shape == (fmt.height, fmt.width // 2) and g.right.shape == g.left.shape
        assert g.left.dtype == np.uint8 and g.left.std() > 0
        assert g.left.shape == views_y[0].shape
        g.release()
    with m.open_stereo_capture(info, output="bgr") as cap:
        b = cap.next(timeout=5.0)
        assert b.left.shape == (fmt.height, fmt.width // 2, 3)


def test_arrays_outlive_release_and_the_frame(info):
    with m.open_stereo_capture(info) as cap:
        f = cap.next(timeout=5.0)
        left = f.left
        before = left.copy()
        f.release()
        del f
        gc.collect()
        # The array still holds the buffer: the driver cannot reuse it, so its
        # pixels stay as they were while later frames stream through the other buffers.
        for _ in range(3):
            cap.next(timeout=5.0).release()
        assert np.array_equal(left, before)
        del left
        gc.collect()
        # Its buffer is back, and frames keep coming.
        assert [cap.next(timeout=5.0) for _ in range(2)][1].sequence > 0
    assert not cap.is_open
    expect_error(cap.next, E.INVALID_ARGUMENT, "stereo capture is closed or moved-from")


def test_bad_options(sim, info):
    expect_error(lambda: m.open_stereo_capture(info, buffer_count=1), E.INVALID_ARGUMENT,
                 "stereo capture option buffer_count is out of range (valid: 2 to 32)")
    with pytest.raises(m.Error) as raised:
        m.open_stereo_capture(info, width=17, height=3)
    assert raised.value.code == E.UNSUPPORTED and "offers no 17x3 picture" in raised.value.message
    with pytest.raises(ValueError):
        m.open_stereo_capture(info, output="rgb")
    assert sim.open_video_nodes == 0


def test_framesets_give_every_imu_sample_once_between_its_frames(device):
    count = 120  # twelve seconds at the simulated camera's 10 fps: the IMU fit locks within three
    with m.open_frameset_stream(device) as stream:
        assert stream.format.width > 0 and stream.is_open
        next_sequence, previous_time, kept = 0, 0, None
        for i, s in zip(range(count), stream):
            f, imu = s.frame, s.imu
            assert imu.dtype == m.IMU_SAMPLE_DTYPE
            assert f.time_ns > previous_time, (i, f.time_ns, previous_time)
            # Each sample once, in order, none lost: the sequences run on from the last set.
            assert np.array_equal(imu["sequence"], np.arange(next_sequence, next_sequence + len(imu))), i
            assert np.all(imu["time_ns"] > previous_time) and np.all(imu["time_ns"] <= f.time_ns), i
            next_sequence += len(imu)
            assert s.imu_after.sequence == next_sequence and s.imu_after.time_ns > f.time_ns
            assert s.imu_before.sequence == next_sequence - 1 and s.imu_before.time_ns <= f.time_ns
            at = s.interpolated_imu
            assert at.timestamp_ns == f.time_ns
            for axis in range(3):
                a, b = s.imu_before.value.gyro_dps[axis], s.imu_after.value.gyro_dps[axis]
                assert min(a, b) <= at.gyro_dps[axis] <= max(a, b)
            if i >= 30:
                assert f.time_source == "imu_clock", i
            # The eyes as StereoCapture gives them: read-only views into the frame's buffer.
            assert not f.left.flags.writeable and f.left.base is not None
            if i == 10:
                kept, kept_copy = f.left, f.left.copy()  # holds its buffer past the frame's release
            f.release()
            previous_time = f.time_ns
        assert np.array_equal(kept, kept_copy)
        stats = stream.stats
        assert (stats.framesets, stats.imu_samples) == (count, next_sequence)
        assert stats.imu_clock >= count - 30 and stats.disagreements == 0
        assert next_sequence > count * 15  # 200 Hz against 10 fps: about 20 a set
        assert repr(stream) == f"<morvane_uvc_stereo.FramesetStream {stream.format.node} framesets={count}>"
    assert not stream.is_open and repr(stream) == "<morvane_uvc_stereo.FramesetStream closed>"
    expect_error(stream.next, E.INVALID_ARGUMENT, "frameset stream is closed or moved-from")


def test_no_frame_in_time_is_a_timeout_error_that_loses_nothing(device):
    with m.open_stereo_capture(device.info) as cap:
        cap.next(timeout=5.0).release()
        # The simulated camera's next frame is a frame interval away on its clock,
        # which only a wait moves on.
        error = expect_error(lambda: cap.next(timeout=0), E.READ_FAILED,
                             f"no frame from {cap.format.node} within 0 ms", m.FrameStallError)
        assert isinstance(error, TimeoutError) and isinstance(error, m.DeviceError)
        assert cap.next(timeout=5.0).sequence >= 1
    with device.open_frameset_stream(buffer_count=2) as stream:
        held = [stream.next(timeout=5.0) for _ in range(2)]
        taken = sum(len(s.imu) for s in held)
        # Both buffers held: the camera's frames find none and are lost, while the IMU
        # is read on.
        expect_error(lambda: stream.next(timeout=0.2), E.READ_FAILED,
                     f"no frame from {stream.format.node} within 200 ms", m.FrameStallError)
        for s in held:
            s.release()
        after = stream.next(timeout=5.0)
        # The samples read during the stall were kept for this set.
        assert after.imu["sequence"][0] == taken and len(after.imu) > 10
        assert after.frame.missed_before > 0 and after.frame.time_ns > held[-1].frame.time_ns


def test_a_closed_device_ends_its_frameset_stream(sim, info):
    dev = m.open_device(info, m.DeviceCapability.NONE)
    expect_error(lambda: dev.open_frameset_stream(clock_agreement_ns=10.0), E.INVALID_ARGUMENT,
                 "frameset option clock_agreement_ns is out of range (valid: 1e3 to 1e9)")
    assert sim.open_video_nodes == 0  # checked before anything opened
    expect_error(lambda: dev.open_frameset_stream(buffer_count=1), E.INVALID_ARGUMENT,
                 "stereo capture option buffer_count is out of range (valid: 2 to 32)")
    stream = dev.open_frameset_stream()
    s = stream.next(timeout=5.0)
    left = s.frame.left
    pixels = left.copy()
    dev.close()
    assert not stream.is_open and sim.open_video_nodes == 1  # the held frame keeps its node
    for _ in range(2):
        expect_error(stream.next, E.INVALID_ARGUMENT, "device is closed or moved-from")
    assert np.array_equal(left, pixels)
    s.release()
    del left
    gc.collect()
    assert sim.open_video_nodes == 0
    expect_error(dev.open_frameset_stream, E.INVALID_ARGUMENT, "device is closed or moved-from")


def test_a_frame_let_go_during_a_held_up_read_does_not_wait_and_its_buffer_comes_back(sim, device):
    with device.open_frameset_stream(buffer_count=2) as stream:
        first = stream.next(timeout=5.0)
        left = first.frame.left  # now the only hold on the first buffer
        first.release()
        sim.stop_answering()
        got = []
        reader = threading.Thread(target=lambda: got.append(stream.next(timeout=30.0)))
        reader.start()
        try:
            while sim.waiting_requests == 0 and reader.is_alive():
                reader.join(0.001)
            assert sim.waiting_requests == 1  # the read waits for the camera, holding the capture
            del left  # the array's base goes with the interpreter lock held
            gc.collect()
            assert sim.waiting_requests == 1, "letting the frame go waited for the held-up read"
        finally:
            sim.resume_answering()
            reader.join()
        # Holding the set just read, the one more needs the first buffer back.
        second = got[0]
        third = stream.next(timeout=5.0)
        assert third.frame.sequence > second.frame.sequence > first.frame.sequence
