#!/usr/bin/env python3
"""Reads the calibration document stored in a camera and turns its matrices
into numpy arrays.

    read_calibration.py [--index N] [--simulate [STATE_FILE]]
"""

import argparse
import contextlib
import json
import sys

import numpy as np

import morvane_uvc_stereo as m


def matrices(document):
    """The calibration's matrices and vectors as numpy arrays, by name."""
    out = {}
    for side in ("left", "right"):
        if side in document:
            out[f"{side}.camera_matrix"] = np.array(document[side]["camera_matrix"], dtype=np.float64)
            out[f"{side}.distortion"] = np.array(document[side]["distortion"], dtype=np.float64)
    extrinsics = document.get("extrinsics", {})
    if "rotation" in extrinsics:
        out["extrinsics.rotation"] = np.array(extrinsics["rotation"], dtype=np.float64)
        out["extrinsics.translation_m"] = np.array(extrinsics["translation_m"], dtype=np.float64)
    if "imu_to_left_camera" in document.get("imu", {}):
        out["imu.imu_to_left_camera"] = np.array(document["imu"]["imu_to_left_camera"], dtype=np.float64)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--index", type=int, default=0, help="camera index in the scan (default 0)")
    parser.add_argument("--simulate", nargs="?", const="", metavar="STATE_FILE",
                        help="use the simulated camera (its flash kept in STATE_FILE when given)")
    args = parser.parse_args()
    simulation = (m.simulated_camera(args.simulate or None) if args.simulate is not None
                  else contextlib.nullcontext())
    with simulation:
        cameras = m.scan_devices()
        if args.index >= len(cameras):
            print(f"no camera {args.index} ({len(cameras)} found)", file=sys.stderr)
            return 3
        try:
            with m.open_device(cameras[args.index]) as dev:
                stored = dev.read_json()
        except m.Error as error:
            print(f"reading the calibration failed: {error}", file=sys.stderr)
            return 4
    document = json.loads(stored.json)
    print(f"document version {stored.version}, {len(stored.json_bytes)} bytes, format {document.get('format')}")
    arrays = matrices(document)
    if "extrinsics.rotation" in arrays:
        rotation = arrays["extrinsics.rotation"]
        # A rotation matrix is orthonormal: R @ R.T is the identity.
        print(f"rotation orthonormal to {np.abs(rotation @ rotation.T - np.eye(3)).max():.2e}")
        print(f"baseline {np.linalg.norm(arrays['extrinsics.translation_m']) * 1000:.2f} mm")
    np.set_printoptions(precision=5, suppress=True)
    for name, value in arrays.items():
        print(f"{name} {value.shape}:\n{value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
