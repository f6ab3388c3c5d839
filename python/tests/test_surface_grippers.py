"""client.surface_grippers against the stand-in, with limits given as AxisLimits objects or dicts."""

import itertools

import pytest

import strandel

_names = itertools.count()


@pytest.fixture
def gripper(client):
    ident = client.surface_grippers.create("/World/pytest_gripper_%d" % next(_names))["surface_gripper_id"]
    yield ident
    client.surface_grippers.remove(ident)


def test_reading_and_operating_a_gripper(client, gripper):
    assert client.surface_grippers.get(gripper)["status"] == "open"
    assert client.surface_grippers.close(gripper)["status"] == "closed"
    assert client.surface_grippers.get_status(surface_gripper_id=gripper)["status"] == "closed"
    assert client.surface_grippers.open(gripper, asynchronous=True)["status"] == "opening"
    properties = client.surface_grippers.get_properties(gripper)["properties"]
    assert properties["rotation_limits"] == {"x": None, "y": None, "z": None}
    points = client.surface_grippers.get_attachment_points(gripper)["attachment_points"]
    assert len(points) == 2 and points[0]["forward_axis"] == "X"


def test_set_properties_sends_only_what_is_given(client, gripper):
    answer = client.surface_grippers.set_properties(
        gripper, max_grip_distance=0.05, forward_axis="-z",
        rotation_limits=strandel.AxisLimits(z=strandel.AxisLimit(-0.5, 0.5)),
        translation_limits={"x": {"minimum": -0.01, "maximum": 0.02}, "y": (0.0, 0.1)})
    assert sorted(answer["updated"]) == ["forward_axis", "max_grip_distance", "rotation_limits",
                                         "translation_limits"]
    properties = answer["properties"]
    assert properties["max_grip_distance"] == 0.05
    assert properties["rotation_limits"] == {"x": None, "y": None, "z": {"maximum": 0.5, "minimum": -0.5}}
    assert properties["translation_limits"] == {
        "x": {"maximum": 0.02, "minimum": -0.01}, "y": {"maximum": 0.1, "minimum": 0.0}, "z": None}
    assert client.surface_grippers.set_properties(gripper)["updated"] == []


def test_limits_are_checked_before_anything_is_sent(client, gripper):
    with pytest.raises(ValueError, match="unknown axis 'w'"):
        client.surface_grippers.set_properties(gripper, rotation_limits={"w": None})
    with pytest.raises(ValueError, match="needs both minimum and maximum"):
        client.surface_grippers.set_properties(gripper, rotation_limits={"x": {"minimum": 1.0}})
    with pytest.raises(TypeError):
        client.surface_grippers.set_properties(gripper, rotation_limits=[1.0, 2.0])
    properties = client.surface_grippers.get_properties(gripper)["properties"]
    assert properties["rotation_limits"] == {"x": None, "y": None, "z": None}


def test_set_attachment_point_properties(client, gripper):
    path = client.surface_grippers.get(gripper)["joint_paths"][0]
    pose = {"orientation": [1.0, 0.0, 0.0, 0.0], "position": [0.0, 0.0, 0.01]}
    answer = client.surface_grippers.set_attachment_point_properties(
        gripper, joint_paths=[path], local_pose_0=pose, clearance_offset=0.002,
        z_axis_translation_drive_stiffness=5000.0)
    (point,) = answer["attachment_points"]
    assert point["joint_path"] == path and point["clearance_offset"] == 0.002
    assert point["local_pose_0"] == pose and point["z_axis_translation_drive_stiffness"] == 5000.0
    with pytest.raises(strandel.HTTPError) as refused:
        client.surface_grippers.set_attachment_point_properties(gripper, clearance_offset=float("inf"))
    assert refused.value.status_code == 422
