#!/usr/bin/env python3
"""Records the IMU to a CSV file: every sample once, on the host's clock.

    record_imu.py [--seconds 10] [--output imu.csv] [--index N] [--simulate [STATE_FILE]]

With --simulate the recording runs on the simulated camera's virtual clock
and finishes at once.
"""

import argparse
import contextlib
import csv
import sys

import morvane_uvc_stereo as m

COLUMNS = ["time_ns", "host_ns", "device_counter", "sequence", "missed", "temperature_c",
           "accel_x_g", "accel_y_g", "accel_z_g", "gyro_x_dps", "gyro_y_dps", "gyro_z_dps"]


def record(stream, seconds, writer):
    """Writes samples until `seconds` have passed on the samples' own clock."""
    first = None
    total = 0
    while True:
        rows = stream.next_batch(100)  # one call per 100 samples keeps up with 1000 Hz easily
        for row in rows:
            if first is None:
                first = int(row["time_ns"])
            if int(row["time_ns"]) - first >= seconds * 1e9:
                return total
            writer.writerow([int(row["time_ns"]), int(row["host_ns"]), int(row["device_counter"]),
                             int(row["sequence"]), int(row["missed"]), f"{row['temperature_c']:.4f}",
                             *(f"{v:.6f}" for v in row["accel_g"]), *(f"{v:.5f}" for v in row["gyro_dps"])])
            total += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--output", default="imu.csv")
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
            with m.open_device(cameras[args.index], m.DeviceCapability.NONE) as dev, \
                    open(args.output, "w", newline="") as out:
                stream = dev.open_imu_stream()
                writer = csv.writer(out)
                writer.writerow(COLUMNS)
                count = record(stream, args.seconds, writer)
                stats, clock = stream.stats, stream.clock_estimate
        except m.Error as error:
            print(f"IMU recording failed: {error}", file=sys.stderr)
            return 4
    print(f"{count} samples in {args.seconds:g} s to {args.output}: {clock.sample_rate_hz:.1f} Hz, "
          f"device clock {clock.drift_ppm:+.1f} ppm, {stats.missed} missed, {stats.duplicates} duplicate reads dropped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
