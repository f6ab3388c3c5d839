#include "world.hpp"

#include "world_state.hpp"

namespace strandel::mock_bridge {
namespace {

/// The y offset of the articulation base in placement slot `slot`: 0, -0.9, 0.9, -1.8, ...
double slotOffset(int slot) { return 0.9 * (slot % 2 == 0 ? slot / 2 : -(slot + 1) / 2); }

}  // namespace

Figure armFigure(const RobotModel& model, const std::vector<Transform>& poses) {
  Figure figure;
  for (const Transform& pose : poses) figure.points.push_back(pose.translation);
  for (std::size_t i = 0; i < model.links.size(); ++i)
    if (model.links[i].parent &&
        norm(poses[i].translation - poses[*model.links[i].parent].translation) > 1e-6)
      figure.bones.emplace_back(*model.links[i].parent, i);
  return figure;
}

Scene World::scene() const {
  Scene scene;
  for (const auto& [id, a] : articulations_) {
    const RobotModel& model = *a->model;
    const Transform base{Quat{}, Vec3{0.0, slotOffset(a->slot), 0.0}};
    const std::vector<Transform> poses = model.linkPoses(a->positions, base);
    Figure figure = armFigure(model, poses);
    if (a->mount) {
      Transform offset;
      if (a->mount->offset) {
        const std::vector<double>& o = *a->mount->offset;
        offset.translation = Vec3{o[0], o[1], o[2]};
        if (o.size() == 7) offset.rotation = Quat{o[3], o[4], o[5], o[6]};
      }
      figure.gripper = compose(poses[*model.linkIndex(a->mount->arm_mount_link)], offset);
      const auto g = grippers_.find(a->mount->gripper_id);
      figure.gripper_closed = g != grippers_.end() && g->second->closedOrClosing();
    }
    scene.figures.push_back(std::move(figure));
  }
  return scene;
}

}  // namespace strandel::mock_bridge
