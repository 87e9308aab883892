"""Morvane UVC stereo cameras from Python.

Find cameras, read and write the calibration document kept in their serial
flash, and read their IMU::

    import morvane_uvc_stereo as m

    for info in m.scan_devices():
        with m.open_device(info) as dev:
            doc = dev.read_json()
            print(info.serial, doc.version, doc.json)

Every failure raises morvane_uvc_stereo.Error (or the subclass of its
family) with the SDK's ``code`` (an ErrorCode) and ``message``.

Tests and notebooks without hardware use the simulated camera::

    with m.simulated_camera():
        info, = m.scan_devices()

The calls that talk to a camera release the interpreter lock, so other
Python threads run meanwhile.

Ctrl-C (any signal whose handler raises) interrupts the calls that wait for
a camera within about 100 ms, also when the camera stopped answering: the
reads (Device.read_json, read_blob, backup, read_imu, the IMU stream,
open_device, read_blob_from_device, read_blob_fast, read_firmware_version,
probe_flash_transport), StereoCapture.next, FramesetStream.next and
DeviceMonitor.wait. A flash read is not cut off midway, which would leave
the camera's video driver detached: it runs on to its end in the background
(at most a few seconds for a camera that does not answer), gives everything
back, and its result is dropped; the next call on that device, and the
interpreter's exit, wait for it. Samples an interrupted IMU stream read stay
in the stream and come first next time; so does the frame or frameset an
interrupted StereoCapture.next or FramesetStream.next read. Writes
(write_json, write_blob_to_device) are never cut off: a signal before one
began (while it waits behind another call) cancels it, and once it began
the call waits for its end; then a failed write raises its Error with the
KeyboardInterrupt as __context__, and one that succeeded lets the
KeyboardInterrupt be raised. open_imu, close_imu and close are not
interrupted: a signal takes effect once they are over.

os.fork() waits (other threads run on) until no call of this package is
talking to a camera, interrupted reads still running included: the child
inherits no lock held by a thread it does not have. In the child, a
Device opened in the parent works, its calls are no longer interruptible;
devices opened in the child are.
"""

import contextlib as _contextlib
import os as _os

from ._types import (
    BlobError,
    DeviceCapability,
    DeviceError,
    DeviceEventKind,
    Error,
    ErrorCode,
    FirmwareMatch,
    FlashReadPath,
    FrameStallError,
    ImuStallError,
    InternalError,
    InvalidArgumentError,
    JsonError,
    OpenCvBackend,
    UnsupportedError,
)
from ._core import (
    DEVICE_WHITELIST,
    Device,
    DeviceEvent,
    DeviceInfo,
    DeviceMonitor,
    DeviceWhitelistEntry,
    FastBlobResult,
    FastJsonResult,
    FlashBlob,
    FlashConfig,
    Frameset,
    FramesetStats,
    FramesetStream,
    ImuClockEstimate,
    ImuConversionOptions,
    ImuSample,
    ImuStream,
    ImuStreamSample,
    ImuStreamStats,
    ReadImuResult,
    ReadJsonResult,
    SimulatedCamera,
    StereoCapture,
    StereoCaptureFormat,
    StereoCaptureStats,
    StereoFrame,
    build_blob,
    convert_imu,
    crc32_ieee,
    device_event_kind_name,
    flash_read_path_name,
    imu_sample_dtype,
    minify_and_validate_json,
    open_device,
    open_device_monitor,
    open_stereo_capture,
    opencv_backend_name,
    parse_and_validate_raw_blob,
    probe_flash_transport,
    read_blob_fast,
    read_blob_from_device,
    read_firmware_version,
    scan_devices,
    write_blob_to_device,
)
from . import _core

__version__ = _core.__version__  # the version of the C++ library in use


def simulated_camera(state_file=None):
    """Puts the simulated camera behind every call of this package.

    Returns a SimulatedCamera, which is also a context manager::

        with simulated_camera("flash.bin") as sim:
            ...   # scan_devices() finds the virtual camera

    It is the camera the command-line tool's ``--simulate`` mode uses: a
    stereo camera with a firmware image, a factory calibration document and
    a moving IMU. With ``state_file`` the whole flash lives in that file,
    the way the tool's ``--simulate`` keeps it (the tool's state file may be
    given): loaded when the file exists, else created from the factory
    image; every change is written to it as it happens, and a simulation
    that changes nothing leaves it untouched. From start to ``stop()`` the
    simulation holds a lock on ``<state_file>.lock``: while another process
    (a tool run, another program) holds it, this raises DeviceError
    (DEVICE_UNAVAILABLE) at once, and a tool run started meanwhile waits
    for ``stop()``. A symlink at the file or its lock is refused (Error,
    INVALID_ARGUMENT). Without a state file, every simulation starts from
    the factory image.

    Starting and stopping close every open Device (an open IMU of one side
    must not meet the other). Only one simulation runs at a time; starting
    a second raises Error (INVALID_ARGUMENT).
    """
    path = "" if state_file is None else _os.fsdecode(_os.fspath(state_file))
    return _core._start_simulation(path)


def __getattr__(name):
    # IMU_SAMPLE_DTYPE is made on first use: importing the package does not
    # import numpy.
    if name == "IMU_SAMPLE_DTYPE":
        return _core.imu_sample_dtype()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def open_imu_stream(device, **options):
    """Same as device.open_imu_stream(**options)."""
    return device.open_imu_stream(**options)


def open_frameset_stream(device, **options):
    """Same as device.open_frameset_stream(**options)."""
    return device.open_frameset_stream(**options)


def default_state_file():
    """The state file the command-line tool's ``--simulate`` uses by default."""
    state = _os.environ.get("XDG_STATE_HOME")
    if not state:
        state = _os.path.join(_os.environ.get("HOME") or "/tmp", ".local", "state")
    return _os.path.join(state, "morvane-uvc-stereo", "simulated-camera.flash")


__all__ = [
    "BlobError",
    "DEVICE_WHITELIST",
    "IMU_SAMPLE_DTYPE",
    "Device",
    "DeviceCapability",
    "DeviceError",
    "DeviceEvent",
    "DeviceEventKind",
    "DeviceInfo",
    "DeviceMonitor",
    "DeviceWhitelistEntry",
    "Error",
    "ErrorCode",
    "FirmwareMatch",
    "FastBlobResult",
    "FastJsonResult",
    "FlashBlob",
    "FlashConfig",
    "FlashReadPath",
    "FrameStallError",
    "Frameset",
    "FramesetStats",
    "FramesetStream",
    "ImuClockEstimate",
    "ImuConversionOptions",
    "ImuSample",
    "ImuStream",
    "ImuStreamSample",
    "ImuStallError",
    "ImuStreamStats",
    "InternalError",
    "InvalidArgumentError",
    "JsonError",
    "OpenCvBackend",
    "ReadImuResult",
    "ReadJsonResult",
    "SimulatedCamera",
    "StereoCapture",
    "StereoCaptureFormat",
    "StereoCaptureStats",
    "StereoFrame",
    "UnsupportedError",
    "build_blob",
    "convert_imu",
    "crc32_ieee",
    "default_state_file",
    "device_event_kind_name",
    "flash_read_path_name",
    "imu_sample_dtype",
    "minify_and_validate_json",
    "open_device",
    "open_device_monitor",
    "open_frameset_stream",
    "open_imu_stream",
    "open_stereo_capture",
    "opencv_backend_name",
    "parse_and_validate_raw_blob",
    "probe_flash_transport",
    "read_blob_fast",
    "read_blob_from_device",
    "read_firmware_version",
    "scan_devices",
    "simulated_camera",
    "write_blob_to_device",
]
