"""Ctrl-C during the calls that wait: for a camera that stopped answering, for udev.

The simulated camera's stop_answering() holds every request to it, in real
time, until the request's own timeout (1 s for a USB transfer, 5 s for an
IMU query): the state of a camera whose firmware hung. A call must give way
to SIGINT while its request is still held, and the camera must be sound once
it answers again.
"""

import contextlib
import os
import shlex
import signal
import subprocess
import sys
import threading
import time

import pytest

import morvane_uvc_stereo as m
from conftest import drain_until_error


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


def stream_case(take, open_stream=lambda dev: dev.open_imu_stream()):
    """A running stream: samples already in hand come at once, then a read waits.

    The sample of the interrupted read comes next: nothing is lost.
    """
    def prepare(dev, info):
        stream = open_stream(dev)
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


def capture_case(dev, info):
    """Every buffer held: no frame can come, next() waits until a release."""
    cap = m.open_stereo_capture(info, buffer_count=2)
    held = [cap.next(timeout=5.0), cap.next(timeout=5.0)]

    def sound():
        held.pop(0).release()
        return cap.next(timeout=5.0).sequence > held[0].sequence
    return cap.next, sound


def monitor_case(dev, info):
    monitor = m.open_device_monitor()
    return monitor.wait, (lambda: monitor.wait(0.0) == [])


CASES = [
    ("stream_next", stream_case(lambda s: [next(s).sequence]), True),
    ("stream_next_batch", stream_case(lambda s: s.next_batch(4)["sequence"].tolist()), True),
    # A frameset's IMU samples, its frame released at once.
    ("frameset_next", stream_case(lambda s: s.next(timeout=5.0).imu["sequence"].tolist(),
                                  lambda dev: dev.open_frameset_stream()), True),
    ("read_imu", read_imu_case, True),
    ("read_json", flash_case(lambda dev, info: dev.read_json().json), True),
    ("read_json_specified", flash_case(lambda dev, info: dev.read_json(fast=False).json), True),
    ("read_blob", flash_case(lambda dev, info: dev.read_blob().raw), True),
    ("read_blob_from_device", flash_case(lambda dev, info: m.read_blob_from_device(flash_config(info)).raw), True),
    ("open_device", flash_case(lambda dev, info: m.open_device(info, m.DeviceCapability.FLASH_JSON).info), True),
    # No camera involved: a monitor that hears nothing waits for udev without limit.
    ("monitor_wait", monitor_case, False),
    ("capture_next_every_buffer_held", capture_case, False),
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


def in_child(body):
    """Runs body() in a forked child; the child's exit status tells whether it held."""
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through its exit status
        ok = False
        try:
            ok = body()
        finally:
            os._exit(0 if ok else 1)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the forked child hung")


def interrupt_a_read(sim, dev):
    """Leaves a read_json of dev waiting for the camera, which stops answering."""
    sim.stop_answering()
    with sigint_when(lambda: sim.waiting_requests > 0):
        with pytest.raises(KeyboardInterrupt):
            dev.read_json()
    assert sim.waiting_requests == 1


def test_calls_work_in_a_forked_child(sim, info, device):
    """A child forked after the package's worker threads started has none of them."""
    config = flash_config(info)
    expected = device.read_json().json
    assert m.read_blob_from_device(config).payload.decode() == expected  # both workers in use
    assert in_child(lambda: device.read_json().json == expected
                    and m.read_blob_from_device(config).payload.decode() == expected) == 0


def test_fork_waits_for_an_interrupted_read_so_the_child_holds_no_lock(sim, info, device):
    """The read interrupted in the parent holds the device's and the flash's locks until it ends."""
    config = flash_config(info)
    expected = device.read_json().json

    def child():
        sim.resume_answering()  # the child's copy of the camera
        with m.open_device(info, m.DeviceCapability.FLASH_JSON) as again:
            fresh = again.read_json().json
        return (device.read_json().json == expected and fresh == expected
                and m.read_blob_from_device(config).payload.decode() == expected)

    try:
        interrupt_a_read(sim, device)
        status = in_child(child)
    finally:
        sim.resume_answering()
    assert status == 0
    assert device.read_json().json == expected


def test_dropping_a_device_whose_read_goes_on_lets_other_threads_run(sim, info):
    dev = m.open_device(info, m.DeviceCapability.NONE)
    dropping = threading.Event()
    seen = []

    def other_thread():
        # Runs while the drop waits for the read only if the drop released the
        # interpreter lock; then it is what lets the read, and the drop, end.
        dropping.wait()
        seen.append(sim.waiting_requests)
        sim.resume_answering()

    thread = threading.Thread(target=other_thread)
    try:
        interrupt_a_read(sim, dev)
        thread.start()
        dropping.set()
        del dev
    finally:
        dropping.set()
        thread.join()
        sim.resume_answering()
    assert seen == [1]
    assert sim.open_usb_handles == 0


NEW_DOCUMENT = '{"replaced":true}'


def write_cases():
    def write_json(dev, info):
        dev.write_json(NEW_DOCUMENT)

    def write_blob(dev, info):
        m.write_blob_to_device(flash_config(info), m.build_blob(0, NEW_DOCUMENT.encode()))
    return [("write_json", write_json), ("write_blob_to_device", write_blob)]


@pytest.mark.parametrize("write", [c[1] for c in write_cases()], ids=[c[0] for c in write_cases()])
@pytest.mark.parametrize("answers_again", [False, True], ids=["fails", "succeeds"])
def test_ctrl_c_during_a_write_waits_for_it_and_reports_its_outcome(sim, info, device, write, answers_again):
    """A write is never abandoned: a failure is raised (the signal as its context), a success lets the signal through."""
    before = device.read_json().json
    sim.stop_answering()

    def signal_then_maybe_answer():
        if sim.waiting_requests == 0:
            return False
        if answers_again:
            threading.Timer(0.2, sim.resume_answering).start()
        return True
    try:
        with sigint_when(signal_then_maybe_answer):
            with pytest.raises(BaseException) as raised:
                write(device, info)
    finally:
        sim.resume_answering()
    stored = device.read_json().json
    if answers_again:
        assert type(raised.value) is KeyboardInterrupt
        assert stored == NEW_DOCUMENT
    else:
        assert isinstance(raised.value, m.Error), repr(raised.value)
        assert isinstance(raised.value.__context__, KeyboardInterrupt)
        assert stored == before
    assert sim.open_usb_handles == 0


def test_ctrl_c_cancels_a_write_still_waiting_behind_an_interrupted_read(sim, info, device):
    before = device.read_json().json
    try:
        interrupt_a_read(sim, device)
        deadline = time.monotonic() + 0.3  # the main thread is inside write_json by then
        with sigint_when(lambda: time.monotonic() > deadline):
            with pytest.raises(KeyboardInterrupt):
                device.write_json(NEW_DOCUMENT)
    finally:
        sim.resume_answering()
    assert device.read_json().json == before  # the write never began


def assert_still_held(sim):
    """The camera's request is still waiting: the call before did not wait for it."""
    assert sim.waiting_requests == 1


QUICK_AFTER_AN_INTERRUPTED_READ = [
    ("is_connected", lambda dev: dev.is_connected() is True),
    ("info", lambda dev: dev.info.vid != 0),
    ("closed", lambda dev: dev.closed is False),
    ("repr", lambda dev: "serial=" in repr(dev)),
    ("close", lambda dev: dev.close() is None and dev.closed and not dev.is_connected()),
]


@pytest.mark.parametrize("query", [c[1] for c in QUICK_AFTER_AN_INTERRUPTED_READ],
                         ids=[c[0] for c in QUICK_AFTER_AN_INTERRUPTED_READ])
def test_record_and_close_do_not_wait_for_an_interrupted_read(sim, info, query):
    dev = m.open_device(info, m.DeviceCapability.NONE)
    try:
        interrupt_a_read(sim, dev)
        assert query(dev)
        assert_still_held(sim)
    finally:
        sim.resume_answering()
        dev.close()
    assert_closed_soon(sim)


def assert_closed_soon(sim):
    """The connection a read held is closed once the read ended (the worker closes it)."""
    deadline = time.monotonic() + 5
    while sim.open_usb_handles and time.monotonic() < deadline:
        time.sleep(0.01)
    assert sim.open_usb_handles == 0


def test_ctrl_c_interrupts_the_wait_for_a_device_an_interrupted_read_holds(sim, info, device):
    try:
        interrupt_a_read(sim, device)
        deadline = time.monotonic() + 0.3
        with sigint_when(lambda: time.monotonic() > deadline):
            with pytest.raises(KeyboardInterrupt):
                device.open_imu()
        assert_still_held(sim)
    finally:
        sim.resume_answering()
    device.open_imu()  # the device is sound once the read ended


@pytest.mark.parametrize("streaming", [True, False], ids=["next_batch", "read_json"])
def test_close_from_another_thread_ends_a_wait_for_a_camera_that_does_not_answer(sim, info, streaming):
    dev = m.open_device(info, m.DeviceCapability.NONE)
    stream = dev.open_imu_stream() if streaming else None
    outcome = []

    def reader():
        try:
            stream.next_batch(10**6) if streaming else dev.read_json()
        except m.Error as error:
            outcome.append((error.code, error.message, sim.waiting_requests))

    thread = threading.Thread(target=reader)
    try:
        sim.stop_answering()
        thread.start()
        deadline = time.monotonic() + 5
        while sim.waiting_requests == 0 and time.monotonic() < deadline:
            time.sleep(0.002)
        dev.close()
        assert_still_held(sim)
        thread.join(5)
        assert outcome == [(m.ErrorCode.INVALID_ARGUMENT, "device is closed or moved-from", 1)]
    finally:
        sim.resume_answering()
        thread.join()
    if streaming:  # the samples read before stay, then the stream ends as closed
        error = drain_until_error(stream)
        assert (error.code, error.message) == (m.ErrorCode.INVALID_ARGUMENT, "device is closed or moved-from")
    assert_closed_soon(sim)


EXIT_WHILE_A_DAEMON_THREAD_WAITS = """
import sys, threading, time
import morvane_uvc_stereo as m
sim = m.simulated_camera().__enter__()
dev = m.open_device(m.scan_devices()[0], m.DeviceCapability.NONE)
stream = dev.open_imu_stream() if sys.argv[1] == "next" else None
def read_forever():
    while True:
        next(stream) if sys.argv[1] == "next" else dev.read_json()
sim.stop_answering()
# open_imu: the bound method itself, so that nothing but __main__ keeps the
# simulation alive and its end (closing every device) runs at exit.
target = dev.open_imu if sys.argv[1] == "open_imu" else read_forever
threading.Thread(target=target, daemon=True).start()
while sim.waiting_requests == 0:
    time.sleep(0.002)
print("exiting", flush=True)
"""


@pytest.mark.parametrize("call", ["next", "read_json", "open_imu"])
def test_exit_while_a_daemon_thread_waits_for_the_camera(call):
    """The interpreter exits cleanly although a daemon thread is inside a call."""
    # The interpreter as the suite's runner names it (under emulation, its command).
    python = shlex.split(os.environ.get("MORVANE_TEST_PYTHON", "")) or [sys.executable]
    done = subprocess.run([*python, "-c", EXIT_WHILE_A_DAEMON_THREAD_WAITS, call],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout.startswith("exiting\n")
    assert done.returncode == 0, done.stderr  # not SIGABRT with "terminate called ..."
    assert "terminate" not in done.stderr


def test_fork_while_another_thread_uses_the_device_leaves_the_child_no_held_lock(sim, info):
    """The device's mutex is never held across taking the interpreter lock back, which a fork holds."""
    dev = m.open_device(info, m.DeviceCapability.NONE)
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            dev.open_imu()
            dev.close_imu()

    thread = threading.Thread(target=churn)
    thread.start()
    try:
        statuses = []
        for _ in range(10):
            statuses.append(in_child(lambda: (signal.alarm(5), dev.has_flash_transport())[1] is False))
    finally:
        stop.set()
        thread.join()
        dev.close()
    assert statuses == [0] * 10
