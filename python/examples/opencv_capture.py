#!/usr/bin/env python3
"""Opens a camera's video with OpenCV by the index the scan reports.

    opencv_capture.py [--index N] [--frames 30] [--simulate [STATE_FILE]]

Needs python3-opencv; without it the example says so and exits with 0.
The simulated camera has no video node OpenCV could open: with --simulate
the example shows which index and backend it would use and stops there.
"""

import argparse
import contextlib
import sys

import morvane_uvc_stereo as m


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--index", type=int, default=0, help="camera index in the scan (default 0)")
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--simulate", nargs="?", const="", metavar="STATE_FILE",
                        help="use the simulated camera (its flash kept in STATE_FILE when given)")
    args = parser.parse_args()
    try:
        import cv2
    except ImportError:
        print("skipped: OpenCV for Python is not installed (apt-get install python3-opencv)")
        return 0
    simulation = (m.simulated_camera(args.simulate or None) if args.simulate is not None
                  else contextlib.nullcontext())
    with simulation:
        cameras = m.scan_devices()
    if args.index >= len(cameras):
        print(f"no camera {args.index} ({len(cameras)} found)", file=sys.stderr)
        return 3
    info = cameras[args.index]
    backend = m.OpenCvBackend.V4L2
    if backend not in info.opencv_indices:
        print(f"camera {args.index} reports no {m.opencv_backend_name(backend)} index", file=sys.stderr)
        return 3
    index = info.opencv_indices[backend]
    print(f"camera {args.index}: cv2.VideoCapture({index}, cv2.{m.opencv_backend_name(backend)}) for {info.video_node}")
    if args.simulate is not None:
        print("simulated camera: no video node to open, stopping here")
        return 0
    capture = cv2.VideoCapture(index, int(backend))
    if not capture.isOpened():
        print(f"OpenCV could not open {info.video_node}", file=sys.stderr)
        return 4
    try:
        shape = None
        for _ in range(args.frames):
            ok, frame = capture.read()
            if not ok:
                print("OpenCV returned no frame", file=sys.stderr)
                return 4
            shape = frame.shape
        print(f"{args.frames} frames of {shape}")
    finally:
        capture.release()
    return 0


if __name__ == "__main__":
    sys.exit(main())
