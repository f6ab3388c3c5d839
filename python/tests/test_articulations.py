"""client.articulations against the stand-in: arguments reach the bridge by keyword and position,
JSON answers come back as plain Python values, failures map to the documented exceptions."""

import numpy as np
import pytest

import strandel

JOINTS = ["joint_1", "joint_2", "joint_3", "joint_4", "joint_5", "joint_6"]


def test_create_answers_plain_python_values(arm):
    assert arm["joint_names"] == JOINTS
    assert arm["num_dof"] == 6 and type(arm["num_dof"]) is int
    assert arm["gripper"] is None
    assert arm["urdf_path"].endswith("strandel_demo_arm.urdf")


def test_reading_limits_driver_joint_and_state(client, arm):
    ident = arm["articulation_id"]
    limits = client.articulations.get_dof_limits(ident)["dof_limits"]
    assert [entry["joint"] for entry in limits] == JOINTS
    assert limits[0]["lower"] == pytest.approx(-2.9) and limits[5]["lower"] is None
    assert client.articulations.get_driver_joint(articulation_id=ident)["driver_joint"] == "joint_1"
    state = client.articulations.get_joints_state(ident)
    assert state["joint_positions"] == [0.0] * 6 and state["moving"] is False


def test_setting_and_moving_joints(client, arm):
    ident = arm["articulation_id"]
    client.articulations.set_joint_positions(ident, [0.25, -0.5], indices=[2, 0])
    positions = client.articulations.get_joints_state(ident)["joint_positions"]
    assert positions[:3] == pytest.approx([-0.5, 0.0, 0.25])

    # numpy arrays are sequences of numbers like any other.
    reached = client.articulations.move_joint_positions(ident, np.array([0.1, 0.2]), np.array([1, 3]))
    assert reached["status"] == "reached"
    assert reached["joint_positions"][1] == pytest.approx(0.1)
    assert reached["joint_positions"][3] == pytest.approx(0.2)
    moving = client.articulations.move_joint_positions(
        articulation_id=ident, joint_positions=[1.0] * 6, asynchronous=True)
    assert moving["status"] == "moving" and moving["expected_duration"] > 0

    driven = client.articulations.set_driven_joints(ident, joint_names=["joint_1", "joint_3"])
    assert driven["driven_joints"] == ["joint_1", "joint_3"]


def test_mounting_a_gripper_sends_the_offset_as_json(client, arm):
    ident = arm["articulation_id"]
    gripper = client.surface_grippers.create("/World/%s_tool" % ident)["surface_gripper_id"]
    try:
        mounted = client.articulations.assemble_robot(
            ident, gripper, "tool0", offset=np.array([0.0, 0.0, 0.02]), mask_collisions=False)
        assert mounted["offset"] == pytest.approx([0.0, 0.0, 0.02])
        assert mounted["mask_collisions"] is False and mounted["gripper_mount_link"] is None
        with pytest.raises(TypeError, match="cannot send a set as JSON"):
            client.articulations.assemble_robot(ident, gripper, "tool0", offset={0.0, 1.0})
    finally:
        client.surface_grippers.remove(gripper)


def test_failures_map_to_python_exceptions(client, arm):
    ident = arm["articulation_id"]
    with pytest.raises(strandel.HTTPError) as refused:
        client.articulations.set_joint_positions(ident, [0.0, 0.0])
    assert refused.value.status_code == 422
    assert b"has 2 values but articulation" in refused.value.body
    with pytest.raises(ValueError, match="^path contains '#'$"):
        client.articulations.get_joints_state("arm#1")
    with pytest.raises(TypeError):
        client.articulations.set_joint_positions(ident, "0.5")

    client.articulations.remove(ident)
    with pytest.raises(strandel.HTTPError) as gone:
        client.articulations.get_joints_state(ident)
    assert gone.value.status_code == 404
    assert gone.value.args[0] == "Bridge returned status 404"
