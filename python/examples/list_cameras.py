#!/usr/bin/env python3
"""Lists the supported cameras attached to this machine.

    list_cameras.py              # the real cameras
    list_cameras.py --simulate   # the simulated camera instead
"""

import argparse
import contextlib
import sys

import morvane_uvc_stereo as m


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--simulate", nargs="?", const="", metavar="STATE_FILE",
                        help="use the simulated camera (its flash kept in STATE_FILE when given)")
    args = parser.parse_args()
    simulation = (m.simulated_camera(args.simulate or None) if args.simulate is not None
                  else contextlib.nullcontext())
    with simulation:
        try:
            cameras = m.scan_devices()
        except m.Error as error:
            print(f"scan failed: {error}", file=sys.stderr)
            return 1
        print(f"{len(cameras)} camera(s)")
        for index, info in enumerate(cameras):
            backends = ", ".join(f"{m.opencv_backend_name(b)}={i}" for b, i in info.opencv_indices.items())
            print(f"[{index}] {info.vid:04x}:{info.pid:04x} {info.model} serial={info.serial or '-'} "
                  f"node={info.video_node} bus={info.bus_number} address={info.device_address} opencv: {backends}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
