#pragma once

// The world's surface grippers (resource.hpp): status, open and close transitions in simulated
// time, properties, attachment points, and the articulation each is mounted on (a gripper is
// mounted on at most one articulation, an articulation carries at most one gripper).

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "resource.hpp"

namespace strandel::mock_bridge {

class Grippers {
 public:
  struct Gripper {
    std::string id;
    std::string prim_path;
    /// "open", "closing", "closed" or "opening".
    std::string status = "open";
    /// Simulated seconds until an opening or closing gripper has finished.
    double remaining = 0.0;
    json properties;
    std::vector<json> points;
    /// The articulation the gripper is mounted on, and the command that mounted it.
    std::optional<std::string> mounted_on;
    AssembleRobot mount;
    std::vector<Completion> waiters;
  };

  /// Reads the simulated time from `sim_time`, which must outlive the grippers.
  Grippers(const double& sim_time, const WorldSettings& settings)
      : simTime_(sim_time), transition_(settings.gripper_transition) {}

  json ids() const { return identifiersOf(records_); }
  /// Throws ApiError 404 "surface gripper '<id>' not found" when there is none.
  void require(const std::string& id) const { at(id); }
  Answer create(const CreateGripper& command);
  json describe(const std::string& id) const;
  json status(const std::string& id) const;
  json properties(const std::string& id) const;
  json attachmentPoints(const std::string& id) const;
  /// Starts closing (`close`) or opening the gripper, unless it is already there or on its way.
  Started operate(const std::string& id, const GripperMotion& command, bool close);
  json patchProperties(const std::string& id, const GripperPropertiesPatch& patch);
  json patchAttachmentPoints(const std::string& id, const AttachmentPointsPatch& patch);
  /// Removes the gripper (unmounting it); its waiters get 410.
  void remove(const std::string& id);
  /// Runs `done` when the gripper's open or close transition has ended.
  void whenSettled(const std::string& id, Completion done);
  /// Advances every transition by `dt`; completions of those that ended join `batch`.
  void step(double dt, CompletionBatch& batch);

  /// Mounts the gripper `command.gripper_id` on `articulation_id` in place of any gripper mounted
  /// there: 404 for an unknown gripper, 409 when it is mounted on another articulation.
  void mount(const std::string& articulation_id, const AssembleRobot& command);
  /// Unmounts the gripper mounted on `articulation_id`, if any.
  void unmount(const std::string& articulation_id);
  /// The gripper mounted on `articulation_id`, or nullptr.
  const Gripper* mountedOn(const std::string& articulation_id) const;

 private:
  const Gripper& at(const std::string& id) const { return recordOf(records_, id, kKind); }
  Gripper& at(const std::string& id) { return recordOf(records_, id, kKind); }

  static constexpr const char* kKind = "surface gripper";
  const double& simTime_;
  double transition_;
  std::map<std::string, Gripper> records_;
};

}  // namespace strandel::mock_bridge
