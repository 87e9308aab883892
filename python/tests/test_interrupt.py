"""Ctrl-C during the calls that wait: for a camera that stopped answering, for udev.

The simulated camera's stop_answering() holds every request to it, in real
time, until the request's own timeout (1 s for a USB transfer, 5 s for an
IMU query): the state of a camera whose firmware hung. A call must give way
to SIGINT while its request is still held, and the camera must be sound once
it answers again.
"""

import contextlib
import os
import signal
import threading
import time

import pytest

import morvane_uvc_stereo as m


@contextlib.contextmanager
def sigint_when(ready, limit_s=5.0):
    """Sends SIGINT to this process once ready() holds (checked from a thread)."""
    stop = threading.Event()

    def watch():
        waited = 0.0
        while not stop.is_set() and not ready() and waited < limit_s:
            stop.wait(0.002)
            waited += 0.002
        if not stop.is_set():
            os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=watch)
    thread.start()
    try:
        yield
    finally:
        stop.set()
        thread.join()


def flash_config(info):
    return m.FlashConfig(vidpid=f"{info.vid:04x}{info.pid:04x}", bus_number=info.bus_number,
                         device_address=info.device_address)


def stream_case(take):
    """A running stream: samples already in hand come at once, then a read waits.

    The sample of the interrupted read comes next: nothing is lost.
    """
    def prepare(dev, info):
        stream = dev.open_imu_stream()
        last = take(stream)

        def until_a_read_waits():
            nonlocal last
            while True:
                last = take(stream)
        return until_a_read_waits, (lambda: take(stream)[0] == last[-1] + 1)
    return prepare


def flash_case(call):
    """A flash read: afterwards the same read works and nothing is left open."""
    def prepare(dev, info):
        expected = call(dev, info)
        return (lambda: call(dev, info)), (lambda: call(dev, info) == expected)
    return prepare


def read_imu_case(dev, info):
    dev.open_imu()
    return dev.read_imu, (lambda: dev.read_imu().sensor_timestamp >= 0)


def monitor_case(dev, info):
    monitor = m.open_device_monitor()
    return monitor.wait, (lambda: monitor.wait(0.0) == [])


CASES = [
    ("stream_next", stream_case(lambda s: [next(s).sequence]), True),
    ("stream_next_batch", stream_case(lambda s: s.next_batch(4)["sequence"].tolist()), True),
    ("read_imu", read_imu_case, True),
    ("read_json", flash_case(lambda dev, info: dev.read_json().json), True),
    ("read_json_specified", flash_case(lambda dev, info: dev.read_json(fast=False).json), True),
    ("read_blob", flash_case(lambda dev, info: dev.read_blob().raw), True),
    ("read_blob_from_device", flash_case(lambda dev, info: m.read_blob_from_device(flash_config(info)).raw), True),
    ("open_device", flash_case(lambda dev, info: m.open_device(info, m.DeviceCapability.FLASH_JSON).info), True),
    # No camera involved: a monitor that hears nothing waits for udev without limit.
    ("monitor_wait", monitor_case, False),
]


@pytest.mark.parametrize("prepare,holds_request", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_ctrl_c_interrupts_a_wait_for_a_camera_that_does_not_answer(sim, info, prepare, holds_request):
    with m.open_device(info, m.DeviceCapability.NONE) as dev:
        call, still_sound = prepare(dev, info)
        if holds_request:
            sim.stop_answering()
        try:
            if holds_request:
                ready = lambda: sim.waiting_requests > 0  # noqa: E731
            else:  # the main thread is inside the call by then
                deadline = time.monotonic() + 0.3
                ready = lambda: time.monotonic() > deadline  # noqa: E731
            with sigint_when(ready):
                with pytest.raises(KeyboardInterrupt):
                    call()
            if holds_request:
                # The call gave way while its request was still held: it did not wait for
                # the request's timeout (1 s at least).
                assert sim.waiting_requests == 1
        finally:
            sim.resume_answering()
        # The interrupted operation ends by itself once the camera answers; the next call
        # waits behind it and finds the camera (and the stream) sound.
        assert still_sound()
        assert sim.open_usb_handles == 0


def test_calls_work_in_a_forked_child(sim, info, device):
    """A child forked after the package's worker threads started has none of them."""
    config = flash_config(info)
    expected = device.read_json().json
    assert m.read_blob_from_device(config).payload.decode() == expected  # both workers in use
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through its exit status
        ok = False
        try:
            ok = (device.read_json().json == expected
                  and m.read_blob_from_device(config).payload.decode() == expected)
        finally:
            os._exit(0 if ok else 1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the forked child hung")
    assert os.waitstatus_to_exitcode(status) == 0
