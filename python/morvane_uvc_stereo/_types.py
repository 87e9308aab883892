"""Enumerations and the exception type of morvane_uvc_stereo.

They are plain Python types (IntEnum, IntFlag, Exception subclasses) so that
they compare with and convert to the SDK's numbers directly.
"""

import enum


class ErrorCode(enum.IntEnum):
    """The SDK's error codes (the C library returns the same numbers)."""

    OK = 0
    INVALID_ARGUMENT = 1
    IO_ERROR = 2
    DEVICE_UNAVAILABLE = 3
    READ_FAILED = 4
    WRITE_FAILED = 5
    ERASE_FAILED = 6
    MAGIC_MISMATCH = 7
    INVALID_HEADER = 9
    INVALID_LENGTH = 10
    CRC_MISMATCH = 11
    INVALID_JSON = 12
    INTERNAL_ERROR = 13
    UNSUPPORTED = 14


class OpenCvBackend(enum.IntEnum):
    """OpenCV capture-API identifiers (cv2.CAP_V4L2 and so on).

    The SDK's type is open to any 32-bit value; a number that is none of
    these is kept as a plain int where it appears (for example as a key of
    DeviceInfo.opencv_indices).
    """

    V4L2 = 200
    DSHOW = 700
    MSMF = 1400
    GSTREAMER = 1800


class DeviceCapability(enum.IntFlag):
    """Bits of open_device's required_capabilities."""

    NONE = 0
    FLASH = 0x1
    IMU = 0x2
    FLASH_JSON = 0x4
    ALL = 0x7


class FirmwareMatch(enum.IntEnum):
    """How a supported-device table entry matches the firmware version text."""

    EXACT = 0
    PREFIX = 1
    CONTAINS = 2


class DeviceEventKind(enum.IntEnum):
    """What a DeviceMonitor event reports."""

    ARRIVED = 0
    REMOVED = 1
    CHANGED = 2


class FlashReadPath(enum.IntEnum):
    """Which read served a fast read of the stored blob or document."""

    BYTE_BANGING = 0
    STREAMING = 1
    HELD_COPY = 2


class Error(Exception):
    """A failure reported by the SDK.

    Attributes:
        code: the ErrorCode (an int for a number the SDK does not define).
        message: the SDK's message, unchanged.
    """

    def __init__(self, code, message):
        super().__init__(code, message)
        try:
            self.code = ErrorCode(code)
        except ValueError:
            self.code = int(code)
        self.message = message

    def __str__(self):
        name = self.code.name if isinstance(self.code, ErrorCode) else "UNKNOWN"
        return f"{self.message} (code {int(self.code)}, {name})"

    def __reduce__(self):
        return (_make_error, (int(self.code), self.message))


class InvalidArgumentError(Error, ValueError):
    """A bad argument, or a call the object's state does not allow (code 1)."""


class DeviceError(Error, OSError):
    """The camera could not be reached, read, written or erased (codes 2 to 6).

    An OSError: ``errno`` holds the SDK's code, ``strerror`` its message.
    """


class ImuStallError(DeviceError, TimeoutError):
    """The IMU delivered no new sample within the stream's stall_timeout_ms (code 4).

    The stream stays usable: the next call waits again.
    """


class FrameStallError(DeviceError, TimeoutError):
    """No frame came within the timeout given to StereoCapture.next or FramesetStream.next (code 4).

    The capture (or frameset stream) stays usable: the next call waits again.
    """


class BlobError(Error, ValueError):
    """The stored blob is malformed: magic, header, length or CRC (codes 7, 9, 10, 11)."""


class JsonError(Error, ValueError):
    """The document is empty, not valid JSON or not UTF-8 (code 12)."""


class InternalError(Error):
    """Memory exhaustion or another internal failure (code 13)."""


class UnsupportedError(Error):
    """The device or its firmware does not support the feature (code 14)."""


_FAMILIES = {
    ErrorCode.INVALID_ARGUMENT: InvalidArgumentError,
    ErrorCode.IO_ERROR: DeviceError,
    ErrorCode.DEVICE_UNAVAILABLE: DeviceError,
    ErrorCode.READ_FAILED: DeviceError,
    ErrorCode.WRITE_FAILED: DeviceError,
    ErrorCode.ERASE_FAILED: DeviceError,
    ErrorCode.MAGIC_MISMATCH: BlobError,
    ErrorCode.INVALID_HEADER: BlobError,
    ErrorCode.INVALID_LENGTH: BlobError,
    ErrorCode.CRC_MISMATCH: BlobError,
    ErrorCode.INVALID_JSON: JsonError,
    ErrorCode.INTERNAL_ERROR: InternalError,
    ErrorCode.UNSUPPORTED: UnsupportedError,
}


_HINTS = {
    "IMU must be closed before flash JSON access": "call close_imu() first",
}


def _make_error(code, message):
    """The exception for an SDK failure: the subclass of its code's family."""
    hint = _HINTS.get(message)
    if hint is not None:
        message = f"{message} ({hint})"
    if code == ErrorCode.READ_FAILED and message.startswith("no new IMU sample within "):
        return ImuStallError(code, message)
    if code == ErrorCode.READ_FAILED and message.startswith("no frame from "):
        return FrameStallError(code, message)
    return _FAMILIES.get(code, Error)(code, message)


def _backend_key(value):
    """An OpenCvBackend member for a known number, the plain int otherwise."""
    try:
        return OpenCvBackend(value)
    except ValueError:
        return int(value)
