"""Stereo frames from Python: numpy views into the driver's buffers, their lifetime, waits."""

import gc
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
