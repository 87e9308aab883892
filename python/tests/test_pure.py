"""Device-free functions and records: CRC, blobs, JSON, IMU conversion, enums, errors."""

import copy
import pickle
import random
import struct
import zlib

import pytest

import morvane_uvc_stereo as m
from conftest import expect_error

E = m.ErrorCode


def test_error_codes_are_the_sdk_numbers():
    expected = {
        "OK": 0, "INVALID_ARGUMENT": 1, "IO_ERROR": 2, "DEVICE_UNAVAILABLE": 3, "READ_FAILED": 4,
        "WRITE_FAILED": 5, "ERASE_FAILED": 6, "MAGIC_MISMATCH": 7, "INVALID_HEADER": 9,
        "INVALID_LENGTH": 10, "CRC_MISMATCH": 11, "INVALID_JSON": 12, "INTERNAL_ERROR": 13,
        "UNSUPPORTED": 14,
    }
    assert {c.name: int(c) for c in E} == expected
    assert E.INVALID_JSON == 12 and 8 not in [int(c) for c in E]


def test_error_carries_code_and_message_through_pickle():
    error = expect_error(lambda: m.minify_and_validate_json(""), E.INVALID_JSON, "json text is empty", m.JsonError)
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is m.JsonError and again.code == E.INVALID_JSON and again.message == error.message


@pytest.mark.parametrize("data", [b"", b"123456789", bytes(range(256)), b"\x00" * 4097])
def test_crc32_matches_zlib(data):
    assert m.crc32_ieee(data) == zlib.crc32(data)


def test_crc32_known_values_and_inputs():
    assert m.crc32_ieee(b"") == 0
    assert m.crc32_ieee(b"123456789") == 0xCBF43926
    assert m.crc32_ieee(bytearray(b"123456789")) == m.crc32_ieee(memoryview(b"0123456789")[1:]) == 0xCBF43926
    with pytest.raises(TypeError):
        m.crc32_ieee("123456789")
    with pytest.raises(TypeError):
        m.crc32_ieee(12)


def test_blob_round_trip_property():
    rng = random.Random(1)
    for _ in range(200):
        payload = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 600)))
        version = rng.randrange(0, 0x10000)
        blob = m.build_blob(version, payload)
        # The header as it lies in flash: magic "VROM" little-endian, then the fields.
        magic, ver, header_size, length, crc = struct.unpack_from("<IHHII", blob.raw)
        assert (magic, ver, header_size, length, crc) == (0x4D4F5256, version, 16, len(payload), zlib.crc32(payload))
        assert blob.raw == blob.raw[:16] + payload and blob.payload == payload
        parsed = m.parse_and_validate_raw_blob(blob.raw + b"\xff" * rng.randrange(0, 20))
        assert parsed == blob


def test_blob_failures():
    good = m.build_blob(3, b'{"a":1}').raw
    flipped = bytearray(good)
    flipped[-1] ^= 0x01
    cases = [
        (lambda: m.parse_and_validate_raw_blob(good[:15]), E.INVALID_HEADER,
         "raw size is smaller than minimum header size", m.BlobError),
        (lambda: m.parse_and_validate_raw_blob(b"XXXX" + good[4:]), E.MAGIC_MISMATCH, "flash magic mismatch", m.BlobError),
        (lambda: m.parse_and_validate_raw_blob(bytes(flipped)), E.CRC_MISMATCH, "crc32 mismatch", m.BlobError),
        (lambda: m.parse_and_validate_raw_blob(good[:-1]), E.INVALID_LENGTH,
         "raw buffer is shorter than header-declared length", m.BlobError),
        (lambda: m.parse_and_validate_raw_blob(good, m.FlashConfig(min_header_size=8)), E.INVALID_ARGUMENT,
         "config.min_header_size must be >= 16", m.InvalidArgumentError),
        (lambda: m.build_blob(0, b"x" * 100, m.FlashConfig(max_total_length=64)), E.INVALID_LENGTH,
         "payload is too large", m.BlobError),
    ]
    for call, code, message, family in cases:
        expect_error(call, code, message, family)
    # With the CRC check off the flipped byte passes and the stored CRC is kept.
    unchecked = m.parse_and_validate_raw_blob(bytes(flipped), m.FlashConfig(verify_crc=False))
    assert unchecked.crc32 == zlib.crc32(b'{"a":1}') and unchecked.payload == bytes(flipped[16:])
    with pytest.raises(ValueError):
        m.build_blob(0x10000, b"")


@pytest.mark.parametrize("text, compact", [
    (' { "a" : [1, 2 ,\t3] ,\n "b":"x y" } ', '{"a":[1,2,3],"b":"x y"}'),
    ("\r\n true \n", "true"),
    ('"  spaced  "', '"  spaced  "'),
    ("[ ]", "[]"),
])
def test_minify_keeps_everything_but_whitespace(text, compact):
    assert m.minify_and_validate_json(text) == compact
    assert m.minify_and_validate_json(text.encode()) == compact.encode()


@pytest.mark.parametrize("text, message", [
    ("", "json text is empty"),
    ("   ", "invalid JSON value at offset 3"),
    ("{", "invalid JSON value at offset 1"),
    ("[1,]", "invalid JSON value at offset 3"),
    ("1 2", "unexpected trailing characters at offset 2"),
    ("[" * 10001, "invalid JSON value at offset 10000"),
])
def test_minify_failures(text, message):
    expect_error(lambda: m.minify_and_validate_json(text), E.INVALID_JSON, message, m.JsonError)


def test_minify_refuses_bytes_that_are_not_utf8():
    raw = b'{ "name" : "\xff\xfe" }'
    expect_error(lambda: m.minify_and_validate_json(raw), E.INVALID_JSON, "invalid UTF-8 at offset 12", m.JsonError)
    # The same bytes as a str with escapes are refused the same way.
    text = raw.decode("utf-8", "surrogateescape")
    expect_error(lambda: m.minify_and_validate_json(text), E.INVALID_JSON, "invalid UTF-8 at offset 12")
    assert m.minify_and_validate_json('{ "name" : "caf\u00e9" }') == '{"name":"caf\u00e9"}'


def test_opencv_backend_names():
    table = {200: "CAP_V4L2", 700: "CAP_DSHOW", 1400: "CAP_MSMF", 1800: "CAP_GSTREAMER",
             0: "CAP_UNKNOWN", 201: "CAP_UNKNOWN", -1: "CAP_UNKNOWN"}
    for value, name in table.items():
        assert m.opencv_backend_name(value) == name
    assert m.opencv_backend_name(m.OpenCvBackend.GSTREAMER) == "CAP_GSTREAMER"


def test_convert_imu_scales_linearly():
    rng = random.Random(2)
    options = m.ImuConversionOptions(temperature_offset_c=20.0, temperature_lsb_per_c=64.0,
                                     accel_lsb_per_g=4096.0, gyro_lsb_per_dps=32.8)
    for _ in range(100):
        accel = tuple(rng.randrange(-32768, 32768) for _ in range(3))
        gyro = tuple(rng.randrange(-32768, 32768) for _ in range(3))
        temp = rng.randrange(-32768, 32768)
        raw = m.ReadImuResult(timestamp_ns=2**63 + 5, sensor_timestamp=0xFFFFF, temperature_raw=temp,
                              accel_raw=accel, gyro_raw=gyro)
        s = m.convert_imu(raw, options)
        assert s.timestamp_ns == 2**63 + 5
        assert s.temperature_c == pytest.approx(20.0 + temp / 64.0)
        assert s.accel_g == pytest.approx(tuple(a / 4096.0 for a in accel))
        assert s.gyro_dps == pytest.approx(tuple(g / 32.8 for g in gyro))
    default = m.convert_imu(m.ReadImuResult(temperature_raw=128, accel_raw=(2048, 0, -2048), gyro_raw=(164, 0, 0)))
    assert (default.temperature_c, default.accel_g, default.gyro_dps[0]) == (26.0, (1.0, 0.0, -1.0), pytest.approx(10.0))
    zero = m.convert_imu(m.ReadImuResult(accel_raw=(5, 5, 5), gyro_raw=(5, 5, 5)),
                         m.ImuConversionOptions(accel_lsb_per_g=0.0, gyro_lsb_per_dps=0.0))
    assert zero.accel_g == (0.0, 0.0, 0.0) and zero.gyro_dps == (0.0, 0.0, 0.0)
    expect_error(lambda: m.convert_imu(m.ReadImuResult(), m.ImuConversionOptions(temperature_lsb_per_c=0.0)),
                 E.INVALID_ARGUMENT, "temperature_lsb_per_c must not be zero", m.InvalidArgumentError)


def test_records_check_their_fields():
    info = m.DeviceInfo(vid=0x0C45, pid=0x0643, serial="S1",
                        opencv_indices={m.OpenCvBackend.V4L2: 2, 4242: 7})
    assert info.opencv_indices == {m.OpenCvBackend.V4L2: 2, 4242: 7}
    assert type(list(info.opencv_indices)[0]) is m.OpenCvBackend and type(list(info.opencv_indices)[1]) is int
    assert "vid=0x0c45, pid=0x0643" in repr(info) and "serial='S1'" in repr(info)
    assert copy.copy(info) == info and copy.deepcopy(info) == info and info != m.DeviceInfo()
    bad = [
        (lambda: m.DeviceInfo(vid=0x10000), ValueError),
        (lambda: m.DeviceInfo(bus_number=-1), ValueError),
        (lambda: m.DeviceInfo(colour="red"), TypeError),
        (lambda: m.ReadImuResult(accel_raw=(1, 2)), ValueError),
        (lambda: m.ReadImuResult(gyro_raw=(40000, 0, 0)), ValueError),
        (lambda: m.FlashConfig(magic=2**32), ValueError),
        (lambda: m.scan_devices(vid=-1), ValueError),
    ]
    for call, exception in bad:
        with pytest.raises(exception):
            call()
    config = m.FlashConfig(flash_address=0x52000, verify_after_write=False)
    assert (config.flash_address, config.magic, config.min_header_size) == (0x52000, 0x4D4F5256, 16)
    assert len(m.DEVICE_WHITELIST) == 6 and all(e.vid and e.pid for e in m.DEVICE_WHITELIST)
