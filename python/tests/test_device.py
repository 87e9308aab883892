"""Discovery and Device against the simulated camera."""

import ctypes
import json
import sys
import threading
import time

import pytest

import morvane_uvc_stereo as m
from conftest import expect_error

E = m.ErrorCode
CLOSED = "device is closed or moved-from"
IMU_OPEN = "IMU must be closed before flash JSON access (call close_imu() first)"


def test_scan_reports_the_camera(info):
    assert (info.vid, info.pid, info.serial) == (0x0C45, 0x0643, "SIM0001")
    assert info.video_node.startswith("/dev/video")
    assert set(info.opencv_indices) <= set(m.OpenCvBackend)
    assert info.opencv_indices[m.OpenCvBackend.V4L2] == int(info.video_node[len("/dev/video"):])


def test_scan_filters(sim):
    table = [
        ({}, 1), ({"vid": 0x0C45}, 1), ({"vid": 0x0C46}, 0), ({"pid": 0x0643}, 1), ({"pid": 1}, 0),
        ({"vid": 0x0C45, "pid": 0x0643, "require_serial": True}, 1),
    ]
    for kwargs, count in table:
        assert len(m.scan_devices(**kwargs)) == count, kwargs


def test_open_device_checks_options_then_ids(sim):
    expect_error(lambda: m.open_device(m.DeviceInfo(), 8), E.INVALID_ARGUMENT,
                 "open_device required_capabilities contains unknown bits", m.InvalidArgumentError)
    expect_error(lambda: m.open_device(m.DeviceInfo(vid=1)), E.INVALID_ARGUMENT, "selected device has invalid vid/pid")
    # Nothing asked for: a camera that is not there still opens, untouched.
    absent = m.open_device(m.DeviceInfo(vid=0x1234, pid=0x5678), m.DeviceCapability.NONE)
    assert not absent.has_flash_transport() and not absent.closed
    with pytest.raises(m.DeviceError) as raised:
        m.open_device(m.DeviceInfo(vid=0x1234, pid=0x5678))
    assert raised.value.code in (E.DEVICE_UNAVAILABLE, E.READ_FAILED) and raised.value.message
    assert sim.open_usb_handles == 0


def test_open_with_flash_json_sets_flash_transport(info):
    with m.open_device(info, m.DeviceCapability.FLASH_JSON) as dev:
        assert dev.has_flash_transport() and not dev.has_imu_transport()


def test_document_round_trip_on_every_read_path(device):
    document = {"left": {"camera_matrix": [[600.5, 0, 320], [0, 601, 240], [0, 0, 1]]}, "name": "caf\u00e9"}
    device.write_json(json.dumps(document, indent=4, ensure_ascii=False))
    specified = device.read_json(fast=False)
    fast = device.read_json()
    assert isinstance(specified, m.ReadJsonResult) and isinstance(fast, m.FastJsonResult)
    assert specified.version == fast.version == 0
    assert specified.json == fast.json == json.dumps(document, separators=(",", ":"), ensure_ascii=False)
    assert json.loads(fast.json) == document
    assert device.read_json(held=fast).path != m.FlashReadPath.HELD_COPY  # reuse is opt-in
    reused = device.read_json(held=fast, reuse_held=True)
    assert reused.path == m.FlashReadPath.HELD_COPY and reused.json == fast.json
    # A changed document is never served from the held copy.
    device.write_json('{"name": "other"}')
    changed = device.read_json(held=fast, reuse_held=True)
    assert changed.path != m.FlashReadPath.HELD_COPY and changed.json == '{"name":"other"}'
    with pytest.raises(ValueError):
        device.read_json(fast=False, held=fast)


def test_bad_document_is_refused_and_the_stored_one_kept(device, sim):
    before = device.read_json().json
    for text, message in [("", "json text is empty"), ("{oops}", "invalid JSON value at offset 1"),
                          (b"[1] 2", "unexpected trailing characters at offset 4")]:
        expect_error(lambda: device.write_json(text), E.INVALID_JSON, message, m.JsonError)
    assert device.read_json().json == before
    assert sim.open_usb_handles == 0


def test_documents_that_are_not_utf8(device, info):
    expect_error(lambda: device.write_json(b'{"a": "\xff"}'), E.INVALID_JSON, "invalid UTF-8 at offset 7", m.JsonError)
    # One stored earlier (here straight as a blob) still reads, as bytes.
    config = m.FlashConfig(vidpid=f"{info.vid:04x}{info.pid:04x}", bus_number=info.bus_number,
                           device_address=info.device_address)
    m.write_blob_to_device(config, m.build_blob(0, b'{"a":"\xff"}'))
    for doc in (device.read_json(fast=False), device.read_json()):
        assert doc.json_bytes == b'{"a":"\xff"}'
        with pytest.raises(m.JsonError, match="not UTF-8: invalid UTF-8 at offset 6"):
            doc.json
        assert "json=" in repr(doc)


def test_imu_and_flash_exclude_each_other(device, sim):
    expect_error(device.read_imu, E.INVALID_ARGUMENT, "IMU is not open")
    device.close_imu()  # closing an IMU that is not open succeeds
    device.open_imu()
    device.open_imu()  # a second open is a no-op
    assert sim.open_video_nodes == 1
    assert device.has_imu_transport()
    raw = device.read_imu()
    assert 0 <= raw.sensor_timestamp <= 0xFFFFF and raw.timestamp_ns > 0
    expect_error(device.read_json, E.INVALID_ARGUMENT, IMU_OPEN)
    expect_error(lambda: device.write_json("{}"), E.INVALID_ARGUMENT, IMU_OPEN)
    device.close_imu()
    assert sim.open_video_nodes == 0 and device.has_imu_transport()
    assert device.read_json().json


def test_context_manager_closes_on_exception(info, sim):
    with pytest.raises(RuntimeError):
        with m.open_device(info) as dev:
            dev.open_imu()
            assert sim.open_video_nodes == 1
            raise RuntimeError("application failure")
    assert dev.closed and sim.open_video_nodes == 0
    assert dev.info == m.DeviceInfo() and "closed" in repr(dev)
    for call in (dev.read_json, dev.read_imu, dev.open_imu, dev.close_imu, lambda: dev.write_json("{}")):
        expect_error(call, E.INVALID_ARGUMENT, CLOSED, m.InvalidArgumentError)
    dev.close()  # twice is fine


def test_one_device_from_two_threads(device):
    device.write_json('{"k": ' + "1" * 2000 + "}")
    results, errors = [], []

    def worker():
        try:
            for _ in range(3):
                results.append(device.read_json(fast=False).json)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(results) == 9 and len(set(results)) == 1


def test_flash_read_releases_the_interpreter_lock(device):
    """Another thread runs while a long flash read is in progress.

    With the switch interval far longer than the test, the interpreter hands
    the lock over only when a call releases it; the counter can then move
    during read_json only if read_json released it.
    """
    device.write_json('{"a": "' + "x" * 60000 + '"}')
    counter = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)  # releases the lock at once, takes it back

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    thread = threading.Thread(target=spin)
    try:
        thread.start()
        while counter[0] == 0:
            time.sleep(0.001)
        progressed = []
        for _ in range(5):
            before = counter[0]
            device.read_json(fast=False)
            progressed.append(counter[0] - before)
    finally:
        stop.set()
        sys.setswitchinterval(old)
        thread.join()
    assert max(progressed) > 0, progressed


def test_flash_transport_functions(info, sim):
    config = m.FlashConfig(vidpid="%04x%04x" % (info.vid, info.pid), auto_select=False,
                           bus_number=info.bus_number, device_address=info.device_address)
    m.probe_flash_transport(config)
    blob = m.read_blob_from_device(config)
    assert blob == m.parse_and_validate_raw_blob(blob.raw)
    fast = m.read_blob_fast(config, held=blob, reuse_held=True)
    assert fast.blob.payload == blob.payload and fast.path == m.FlashReadPath.HELD_COPY
    # Without the opt-in a held copy is not reused: the flash is read.
    assert m.read_blob_fast(config, held=blob).path != m.FlashReadPath.HELD_COPY
    with pytest.raises(ValueError):
        m.read_blob_fast(config, reuse_held=True)
    new = m.build_blob(7, b'{"v":7}')
    m.write_blob_to_device(config, new)
    assert m.read_blob_from_device(config) == new
    assert m.read_firmware_version(config)
    missing = m.FlashConfig(vidpid="12345678", auto_select=False)
    with pytest.raises(m.DeviceError):
        m.read_blob_from_device(missing)
    assert sim.open_usb_handles == 0


def test_a_connection_the_program_holds_serves_only_its_own_camera(info, sim):
    """The program holds the camera through the access library itself; calls for
    another camera fail naming both and leave that connection open."""
    path = next(line.split()[-1] for line in open("/proc/self/maps") if "libmorvane_uvc_stereo_sdk.so" in line)
    access = ctypes.CDLL(path)  # the library the package uses, with its globals
    vidpid = b"%04x%04x" % (info.vid, info.pid)
    assert access.SonixCam_Init(ctypes.create_string_buffer(vidpid), info.bus_number, info.device_address) == 1
    held = ctypes.c_int.in_dll(access, "camera_init")
    try:
        other = m.DeviceInfo(vid=info.vid, pid=info.pid, bus_number=info.bus_number,
                             device_address=info.device_address + 1, video_node=info.video_node)
        config = m.FlashConfig(vidpid=vidpid.decode(), auto_select=False, bus_number=other.bus_number,
                               device_address=other.device_address)
        both = (f"the access library is open to camera {info.vid:04x}:{info.pid:04x} at "
                f"{info.bus_number:03d}/{info.device_address:03d}, not to the requested camera "
                f"{info.vid:04x}:{info.pid:04x} at {other.bus_number:03d}/{other.device_address:03d}")
        with m.open_device(other, 0) as dev:
            for call in (lambda: m.read_blob_from_device(config), lambda: m.probe_flash_transport(config),
                         lambda: m.write_blob_to_device(config, m.build_blob(0, b"{}")),
                         lambda: m.read_firmware_version(config), lambda: m.read_blob_fast(config),
                         dev.read_blob, dev.read_json, lambda: dev.read_json(fast=False),
                         lambda: dev.write_json("{}")):
                expect_error(call, E.DEVICE_UNAVAILABLE, both, m.DeviceError)
                assert held.value == 1, "the program's connection was closed"
        own = m.FlashConfig(vidpid=vidpid.decode(), auto_select=False, bus_number=info.bus_number,
                            device_address=info.device_address)
        assert m.read_blob_from_device(own).payload  # over the program's connection
        assert held.value == 1
    finally:
        access.SonixCam_UnInit()
    assert held.value == 0 and sim.open_usb_handles == 0


def test_stale_records_serial_lookup_and_connection(sim, info):
    stale = m.DeviceInfo(vid=info.vid, pid=info.pid, bus_number=info.bus_number,
                         device_address=info.device_address, serial="SOMEONE-ELSE", video_node=info.video_node)
    expect_error(lambda: m.open_device(stale), E.DEVICE_UNAVAILABLE,
                 f"the camera at bus {info.bus_number} address {info.device_address} has serial "
                 f"'{info.serial}', not the record's 'SOMEONE-ELSE': the record is stale, scan again", OSError)
    expect_error(lambda: m.open_device(serial="SOMEONE-ELSE"), E.DEVICE_UNAVAILABLE,
                 "no camera with serial 'SOMEONE-ELSE' is attached")
    with pytest.raises(ValueError):
        m.open_device(info, serial="SOMEONE-ELSE")
    with m.open_device(serial=info.serial) as dev:
        assert dev.info == info and dev.is_connected()
    assert not dev.is_connected()


def test_backup_before_a_write_restores_the_factory_document(device, tmp_path):
    factory = device.read_json(fast=False)
    path = tmp_path / "calibration.blob"
    blob = device.backup(path)
    assert path.read_bytes() == blob.raw
    with pytest.raises(FileExistsError):
        device.backup(path)  # a backup is never overwritten
    device.write_json('{"fx": 1}')
    m.write_blob_to_device(m.FlashConfig(vidpid=f"{device.info.vid:04x}{device.info.pid:04x}",
                                         bus_number=device.info.bus_number,
                                         device_address=device.info.device_address),
                           m.parse_and_validate_raw_blob(path.read_bytes()))
    assert device.read_json(fast=False) == factory


def test_errors_are_the_builtin_they_are_and_objects_have_a_repr(device):
    for code, builtin in [(E.INVALID_ARGUMENT, ValueError), (E.IO_ERROR, OSError), (E.CRC_MISMATCH, ValueError),
                          (E.INVALID_JSON, ValueError)]:
        assert isinstance(m._types._make_error(code, "x"), builtin), code
    stall = m._types._make_error(E.READ_FAILED, "no new IMU sample within 5 ms")
    assert isinstance(stall, TimeoutError) and isinstance(stall, m.DeviceError)
    assert m.__version__ == m._core.__version__ and m.__version__.count(".") == 2
    stream = device.open_imu_stream()
    stream.next_batch(3)
    assert repr(stream).startswith("<morvane_uvc_stereo.ImuStream samples=3 ")
    stream.close()
    assert repr(stream) == "<morvane_uvc_stereo.ImuStream closed>"


def test_out_of_range_options_are_value_errors_naming_the_range(sim, device):
    stall = "IMU stream option stall_timeout_ms is out of range (valid: 1 to 3600000)"
    table = [
        (lambda: device.open_imu_stream(stall_timeout_ms=0), stall),
        (lambda: device.open_imu_stream(stall_timeout_ms=-1), stall),  # beyond 32 bits: the same error
        (lambda: device.open_imu_stream(stall_timeout_ms=2**40), stall),
        (lambda: device.open_imu_stream(estimation_window_s=1.0),
         "IMU stream option estimation_window_s is out of range (valid: 2 to 600)"),
        (lambda: m.open_device(device.info, -1), "open_device required_capabilities contains unknown bits"),
        (lambda: m.open_device(device.info, 2**40), "open_device required_capabilities contains unknown bits"),
        (lambda: sim.advance_time_ns(-1), "delta_ns must be in 0..18446744073709551615"),
        (lambda: m.ReadImuResult(timestamp_ns=-1), "timestamp_ns must be in 0..18446744073709551615"),
        (lambda: m.scan_devices(vid=-1), "vid must be in 0..65535"),
        (lambda: m.open_device_monitor().wait(-1), "timeout must be >= 0 or None"),
    ]
    for call, message in table:
        with pytest.raises(ValueError) as raised:
            call()
        error = raised.value
        assert getattr(error, "message", str(error)) == message, message
    assert sim.open_video_nodes == 0  # no option error touched the IMU
