#!/usr/bin/env python3
"""quickstart: the library's main job end to end against a bridge (or the local stand-in).

  1. create an arm from a URDF file and mount a surface gripper on its tool link
  2. read its joint limits, driver joint and joint state
  3. move the joints, then stream their positions for about two seconds while they move again
  4. capture a camera frame and write its colour image as a PNG
  5. close the gripper and remove everything that was created

Start a stand-in first (strandel-mock-bridge --port 8211) or pass --http-url.
"""

import argparse
import os
import sys
import time

import strandel

from png import write_png

HERE = os.path.dirname(os.path.abspath(__file__))
ARM_PRIM = "/World/strandel_arm"
GRIPPER_PRIM = "/World/strandel_arm/tool0/gripper"
CAMERA_PRIM = "/World/quickstart_camera"


def fit_to_limits(pose, limits):
    """`pose` fitted into each joint's limits (a continuous joint, with null limits, takes it as is)."""
    fitted = []
    for j, joint in enumerate(limits):
        value = pose[j % len(pose)]
        if joint["lower"] is not None:
            value = max(value, joint["lower"])
        if joint["upper"] is not None:
            value = min(value, joint["upper"])
        fitted.append(value)
    return fitted


def listed(values):
    return "[" + ", ".join("%6.3f" % v for v in values) + "]"


def run(args):
    ws_url = args.ws_url or "ws" + args.http_url[len("http"):]
    client = strandel.IsaacSimClient("quickstart", args.http_url, ws_url, timeout=args.timeout, max_retries=args.retries)
    print("quickstart: bridge %s (streams %s)" % (client.base_url, client.websocket_base_url))
    cleanup = []
    try:
        # 1. The arm and its gripper.
        urdf = os.path.abspath(args.urdf)
        print("\n1. Creating an arm at %s from %s" % (ARM_PRIM, urdf))
        arm = client.articulations.create(ARM_PRIM, urdf_path=urdf)
        arm_id = arm["articulation_id"]
        cleanup.append(lambda: client.articulations.remove(arm_id))
        print("   articulation '%s': %d joints %s" % (arm_id, arm["num_dof"], arm["joint_names"]))

        gripper_id = client.surface_grippers.create(GRIPPER_PRIM)["surface_gripper_id"]
        cleanup.append(lambda: client.surface_grippers.remove(gripper_id))
        mounted = client.articulations.assemble_robot(arm_id, gripper_id, "tool0", offset=[0.0, 0.0, 0.02])
        print("   surface gripper '%s' mounted on link %s" % (gripper_id, mounted["arm_mount_link"]))
        client.surface_grippers.set_properties(gripper_id, max_grip_distance=0.05)
        print("   gripper max_grip_distance set to 0.05 m")

        # 2. What the arm is.
        print("\n2. Joint limits, driver joint and state")
        limits = client.articulations.get_dof_limits(arm_id)["dof_limits"]
        for joint in limits:
            print("   %s (%s): %s .. %s, max velocity %s"
                  % (joint["joint"], joint["type"], joint["lower"], joint["upper"], joint["max_velocity"]))
        print("   driver joint: %s" % client.articulations.get_driver_joint(arm_id)["driver_joint"])
        print("   positions: %s" % listed(client.articulations.get_joints_state(arm_id)["joint_positions"]))

        # 3. Move, then stream while moving again.
        reach = fit_to_limits([0.5, 0.6, 0.9, 0.0, 0.8, 0.0], limits)
        wave = fit_to_limits([-0.9, 0.4, 1.1, 0.0, 0.9, 1.2], limits)
        print("\n3. Moving to %s (waits until the joints arrive)" % listed(reach))
        reached = client.articulations.move_joint_positions(arm_id, reach)
        print("   positions: %s" % listed(reached["joint_positions"]))
        print("   streaming joint positions for %g s while moving to %s" % (args.stream_seconds, listed(wave)))
        received = 0
        with client.articulations.stream_joint_positions(arm_id) as stream:
            client.articulations.move_joint_positions(arm_id, wave, asynchronous=True)
            start = time.monotonic()
            for update in stream:
                if received % 12 == 0:
                    print("   t=%5.2f s  #%-5d %s" % (time.monotonic() - start, update.get("sequence", 0),
                                                     listed(update["joint_positions"])), flush=True)
                received += 1
                if time.monotonic() - start >= args.stream_seconds:
                    break
        print("   %d messages received" % received)

        # 4. A picture.
        print("\n4. Capturing a %dx%d frame from a camera at %s" % (args.width, args.height, CAMERA_PRIM))
        camera_id = client.cameras.create(CAMERA_PRIM, resolution=[args.width, args.height], frequency=30.0)["camera_id"]
        cleanup.append(lambda: client.cameras.remove(camera_id))
        frame = client.cameras.capture(camera_id, data_types=["rgb", "depth"])
        rgb = frame.output("rgb")
        if rgb is None:
            raise RuntimeError("the frame holds no rgb output")
        output = os.path.abspath(args.output)
        write_png(output, rgb)
        print("   rgb %dx%d written to %s" % (rgb.shape[1], rgb.shape[0], output))

        # 5. Close the gripper and clean up.
        print("\n5. Closing the gripper and removing everything")
        print("   gripper: %s" % client.surface_grippers.close(gripper_id)["status"])
        cleanup.clear()
        client.cameras.remove(camera_id)
        client.surface_grippers.remove(gripper_id)
        client.articulations.remove(arm_id)
        print("   removed camera '%s', gripper '%s' and arm '%s'" % (camera_id, gripper_id, arm_id))
        print("\ndone: the picture is at %s" % output)
    finally:
        for undo in reversed(cleanup):
            try:
                undo()
            except (RuntimeError, ValueError) as error:
                print("quickstart: cleanup failed: %s" % error, file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(
        description="Creates an arm from a URDF, mounts a gripper, reads limits and state, moves the joints, "
                    "streams their positions, captures a camera frame to PNG, closes the gripper and cleans up.")
    parser.add_argument("--http-url", default="http://127.0.0.1:8211/", help="the bridge's HTTP base URL")
    parser.add_argument("--ws-url", default="", help="the bridge's WebSocket base URL (default: from --http-url)")
    parser.add_argument("--timeout", type=float, default=10.0, help="time-out of one transfer attempt in seconds")
    parser.add_argument("--retries", type=int, default=3, help="retries of a failed transfer or a transient status")
    parser.add_argument("--urdf", default=os.path.join(HERE, "..", "urdf", "strandel_demo_arm.urdf"),
                        help="the arm's URDF file")
    parser.add_argument("--output", default="quickstart.png", help="where the captured picture goes")
    parser.add_argument("--width", type=int, default=640, help="picture width in pixels")
    parser.add_argument("--height", type=int, default=480, help="picture height in pixels")
    parser.add_argument("--stream-seconds", type=float, default=2.0, help="how long to stream joint positions")
    args = parser.parse_args()
    try:
        run(args)
    except strandel.HTTPError as error:
        print("quickstart: %s: %s" % (error, error.body.decode(errors="replace")), file=sys.stderr)
        return 1
    except (RuntimeError, ValueError) as error:
        print("quickstart: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
