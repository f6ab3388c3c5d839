#!/usr/bin/env python3
"""camera_loop: creates a camera, captures frames in a loop and saves each frame's colour image and
depth image (grey, near is light) as PNG files, then removes the camera.

The arrays of a frame are numpy views of the frame's own buffers: nothing is copied between the
bridge's answer and the PNG encoder.
"""

import argparse
import os
import sys
import time

import strandel

from png import depth_to_grey, write_png


def run(args):
    ws_url = args.ws_url or "ws" + args.http_url[len("http"):]
    client = strandel.IsaacSimClient("camera_loop", args.http_url, ws_url, timeout=args.timeout)
    camera_id = client.cameras.create(args.prim_path, resolution=[args.width, args.height])["camera_id"]
    os.makedirs(args.output_dir, exist_ok=True)
    print("camera_loop: camera '%s' (%dx%d) on %s" % (camera_id, args.width, args.height, client.base_url))
    try:
        for index in range(args.frames):
            started = time.monotonic()
            frame = client.cameras.capture(camera_id, data_types=["rgb", "depth"])
            rgb, depth = frame.output("rgb"), frame.output("depth")
            if rgb is None or depth is None:
                raise RuntimeError("the frame lacks its rgb or depth output")
            rgb_path = os.path.join(args.output_dir, "rgb_%04d.png" % index)
            depth_path = os.path.join(args.output_dir, "depth_%04d.png" % index)
            write_png(rgb_path, rgb)
            grey, nearest, farthest = depth_to_grey(depth)
            write_png(depth_path, grey)
            print("  frame %d at sim time %.3f s: %s and %s (depth %.2f m to %.2f m)"
                  % (index, frame.structure["sim_time"], rgb_path, depth_path, nearest, farthest))
            left = args.interval - (time.monotonic() - started)
            if left > 0 and index + 1 < args.frames:
                time.sleep(left)
    finally:
        client.cameras.remove(camera_id)
        print("removed camera '%s'" % camera_id)


def main():
    parser = argparse.ArgumentParser(description="Captures camera frames in a loop and saves them as PNG files.")
    parser.add_argument("--http-url", default="http://127.0.0.1:8211/", help="the bridge's HTTP base URL")
    parser.add_argument("--ws-url", default="", help="the bridge's WebSocket base URL (default: from --http-url)")
    parser.add_argument("--timeout", type=float, default=10.0, help="time-out of one transfer attempt in seconds")
    parser.add_argument("--prim-path", default="/World/camera_loop", help="prim path of the camera to create")
    parser.add_argument("--width", type=int, default=640, help="picture width in pixels")
    parser.add_argument("--height", type=int, default=480, help="picture height in pixels")
    parser.add_argument("--frames", type=int, default=5, help="how many frames to capture")
    parser.add_argument("--interval", type=float, default=0.2, help="seconds from one capture to the next")
    parser.add_argument("--output-dir", default="camera_loop", help="directory of the PNG files")
    args = parser.parse_args()
    try:
        run(args)
    except KeyboardInterrupt:
        return 130
    except strandel.HTTPError as error:
        print("camera_loop: %s: %s" % (error, error.body.decode(errors="replace")), file=sys.stderr)
        return 1
    except (RuntimeError, ValueError) as error:
        print("camera_loop: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
