"""Fixtures: the simulated camera and a device opened on it.

Run with the build tree's package on the path:
    PYTHONPATH=<build>/python /usr/bin/python3 -m pytest python/tests
MORVANE_BUILD_DIR (the build directory) enables the installation test.
"""

import signal

import pytest

import morvane_uvc_stereo as m


@pytest.fixture(autouse=True)
def ctrl_c_handler():
    """Python's own Ctrl-C handler for every test, also when this process
    was started with SIGINT ignored (as a shell starts a background job):
    the interruption tests send SIGINT to themselves."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def sim():
    with m.simulated_camera() as camera:
        yield camera
    assert not camera.active


@pytest.fixture
def info(sim):
    found = m.scan_devices()
    assert len(found) == 1, found
    return found[0]


@pytest.fixture
def device(info):
    with m.open_device(info) as dev:
        yield dev


def expect_error(call, code, message, family=None):
    """Runs call(), which must raise Error with exactly this code and message."""
    with pytest.raises(m.Error) as raised:
        call()
    error = raised.value
    assert error.code == code, (error.code, error.message)
    assert isinstance(error.code, m.ErrorCode)
    assert error.message == message
    assert str(error) == f"{message} (code {int(code)}, {m.ErrorCode(code).name})"
    if family is not None:
        assert isinstance(error, family)
    return error


def drain_until_error(stream, limit=1000):
    """Takes samples the stream already holds until it raises; returns the Error."""
    with pytest.raises(m.Error) as raised:
        for _ in range(limit):
            next(stream)
    return raised.value
