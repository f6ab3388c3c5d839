// The facades client.articulations, client.surface_grippers and client.cameras, and the limit
// types AxisLimit and AxisLimits. Method and keyword names are the C++ ones in snake_case; JSON
// answers come back as plain Python values.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <strandel/camera_frame.hpp>
#include <strandel/client.hpp>
#include <strandel/gripper_limits.hpp>

#include "bindings.hpp"
#include "frame_object.hpp"

namespace py = pybind11;
using namespace py::literals;

namespace strandel::python {
namespace {

std::string limitText(const AxisLimit& limit) {
  return "AxisLimit(minimum=" + py::repr(py::float_(limit.minimum)).cast<std::string>() +
         ", maximum=" + py::repr(py::float_(limit.maximum)).cast<std::string>() + ")";
}

/// One axis: None, an AxisLimit, a mapping with "minimum" and "maximum", or a (minimum, maximum)
/// pair. Throws ValueError / TypeError naming the axis otherwise.
std::optional<AxisLimit> axisLimitArgument(py::handle value, const std::string& axis) {
  if (value.is_none()) return std::nullopt;
  if (py::isinstance<AxisLimit>(value)) return value.cast<AxisLimit>();
  if (py::isinstance<py::dict>(value)) {
    const auto entries = py::reinterpret_borrow<py::dict>(value);
    for (const auto& [key, unused] : entries) {
      const std::string name = py::str(key);
      if (name != "minimum" && name != "maximum") {
        throw py::value_error("limit of axis " + axis + " has an unknown key '" + name +
                              "' (expected minimum and maximum)");
      }
    }
    if (!entries.contains("minimum") || !entries.contains("maximum")) {
      throw py::value_error("limit of axis " + axis + " needs both minimum and maximum");
    }
    return AxisLimit{entries["minimum"].cast<double>(), entries["maximum"].cast<double>()};
  }
  if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
    const auto pair = py::reinterpret_borrow<py::sequence>(value);
    if (pair.size() != 2)
      throw py::value_error("limit of axis " + axis + " must be (minimum, maximum)");
    return AxisLimit{pair[0].cast<double>(), pair[1].cast<double>()};
  }
  throw py::type_error("limit of axis " + axis +
                       " must be None, an AxisLimit, a dict or a (minimum, maximum) pair");
}

/// None, an AxisLimits, or a dict with some of the keys "x", "y" and "z".
std::optional<AxisLimits> axisLimitsArgument(const py::object& value) {
  if (value.is_none()) return std::nullopt;
  if (py::isinstance<AxisLimits>(value)) return value.cast<AxisLimits>();
  if (!py::isinstance<py::dict>(value)) {
    throw py::type_error("limits must be None, an AxisLimits or a dict with keys x, y and z");
  }
  AxisLimits limits;
  for (const auto& [key, limit] : py::reinterpret_borrow<py::dict>(value)) {
    const std::string axis = py::str(key);
    if (axis == "x") {
      limits.x = axisLimitArgument(limit, axis);
    } else if (axis == "y") {
      limits.y = axisLimitArgument(limit, axis);
    } else if (axis == "z") {
      limits.z = axisLimitArgument(limit, axis);
    } else {
      throw py::value_error("limits have an unknown axis '" + axis + "' (expected x, y or z)");
    }
  }
  return limits;
}

void bindLimits(py::module_& module) {
  py::class_<AxisLimit>(module, "AxisLimit",
                        "A lower and an upper bound for one axis (not checked).")
      .def(py::init([](double minimum, double maximum) {
             return AxisLimit{minimum, maximum};
           }),
           "minimum"_a = 0.0, "maximum"_a = 0.0)
      .def_readonly("minimum", &AxisLimit::minimum)
      .def_readonly("maximum", &AxisLimit::maximum)
      .def("__eq__",
           [](const AxisLimit& a, const AxisLimit& b) {
             return a.minimum == b.minimum && a.maximum == b.maximum;
           })
      .def("__repr__", &limitText);

  py::class_<AxisLimits>(module, "AxisLimits",
                         "Optional limits per axis; an axis left as None is sent as null.")
      .def(py::init([](const py::object& x, const py::object& y, const py::object& z) {
             return AxisLimits{axisLimitArgument(x, "x"), axisLimitArgument(y, "y"),
                               axisLimitArgument(z, "z")};
           }),
           "x"_a = py::none(), "y"_a = py::none(), "z"_a = py::none())
      .def_readwrite("x", &AxisLimits::x)
      .def_readwrite("y", &AxisLimits::y)
      .def_readwrite("z", &AxisLimits::z)
      .def("__repr__", [](const AxisLimits& limits) {
        const auto axis = [](const std::optional<AxisLimit>& limit) {
          return limit ? limitText(*limit) : std::string("None");
        };
        return "AxisLimits(x=" + axis(limits.x) + ", y=" + axis(limits.y) +
               ", z=" + axis(limits.z) + ")";
      });
}

void bindArticulation(py::module_& module) {
  py::class_<Articulation> articulations(
      module, "Articulations",
      "Articulations (robots) on the bridge; reached as client.articulations.");
  articulations
      .def("create", method(&Articulation::create), "prim_path"_a, "urdf_path"_a = py::none(),
           WithoutGil())
      .def("assemble_robot", method(&Articulation::assembleRobot), "articulation_id"_a,
           "gripper_id"_a, "arm_mount_link"_a, "gripper_mount_link"_a = py::none(),
           "offset"_a = py::none(), "mask_collisions"_a = true, WithoutGil())
      .def("remove", method(&Articulation::remove), "articulation_id"_a, WithoutGil())
      .def("get_dof_limits", method(&Articulation::getDofLimits), "articulation_id"_a, WithoutGil())
      .def("get_driver_joint", method(&Articulation::getDriverJoint), "articulation_id"_a,
           WithoutGil())
      .def("get_joints_state", method(&Articulation::getJointsState), "articulation_id"_a,
           WithoutGil())
      .def("set_joint_positions", method(&Articulation::setJointPositions), "articulation_id"_a,
           "joint_positions"_a, "indices"_a = py::none(), WithoutGil())
      .def("move_joint_positions", method(&Articulation::moveJointPositions), "articulation_id"_a,
           "joint_positions"_a, "indices"_a = py::none(), "asynchronous"_a = false, WithoutGil())
      .def("set_driven_joints", method(&Articulation::setDrivenJoints), "articulation_id"_a,
           "joint_names"_a, WithoutGil());
  defStreamOpener(articulations, "stream_joint_positions",
                  static_cast<OpenStreamWith Articulation::*>(&Articulation::streamJointPositions),
                  "Opens the articulation's joint-position stream; with reconnect=True one that "
                  "reopens its connection (see Stream).");
  defStreamOpener(
      articulations, "stream_articulation_state",
      static_cast<OpenStreamWith Articulation::*>(&Articulation::streamArticulationState),
      "Opens the articulation's state stream; with reconnect=True one that reopens its connection "
      "(see Stream).");
}

void bindSurfaceGripper(py::module_& module) {
  py::class_<SurfaceGripper>(module, "SurfaceGrippers",
                             "Surface grippers on the bridge; reached as client.surface_grippers.")
      .def("create", method(&SurfaceGripper::create), "prim_path"_a, WithoutGil())
      .def("get", method(&SurfaceGripper::get), "surface_gripper_id"_a, WithoutGil())
      .def("get_status", method(&SurfaceGripper::getStatus), "surface_gripper_id"_a, WithoutGil())
      .def("get_properties", method(&SurfaceGripper::getProperties), "surface_gripper_id"_a,
           WithoutGil())
      .def("get_attachment_points", method(&SurfaceGripper::getAttachmentPoints),
           "surface_gripper_id"_a, WithoutGil())
      .def("open", method(&SurfaceGripper::open), "surface_gripper_id"_a, "asynchronous"_a = false,
           WithoutGil())
      .def("close", method(&SurfaceGripper::close), "surface_gripper_id"_a,
           "asynchronous"_a = false, WithoutGil())
      .def("remove", method(&SurfaceGripper::remove), "surface_gripper_id"_a, WithoutGil())
      // The limits are converted here, with the GIL held: a dict or pair becomes AxisLimits.
      .def(
          "set_properties",
          [](SurfaceGripper& g, const std::string& surface_gripper_id,
             std::optional<double> coaxial_force_limit, std::optional<double> shear_force_limit,
             std::optional<double> max_grip_distance, std::optional<double> retry_interval,
             const py::object& rotation_limits, const py::object& translation_limits,
             const std::optional<std::string>& forward_axis) {
            const auto rotation = axisLimitsArgument(rotation_limits);
            const auto translation = axisLimitsArgument(translation_limits);
            return withoutGil([&] {
              return g.setProperties(surface_gripper_id, coaxial_force_limit, shear_force_limit,
                                     max_grip_distance, retry_interval, rotation, translation,
                                     view(forward_axis));
            });
          },
          "surface_gripper_id"_a, "coaxial_force_limit"_a = py::none(),
          "shear_force_limit"_a = py::none(), "max_grip_distance"_a = py::none(),
          "retry_interval"_a = py::none(), "rotation_limits"_a = py::none(),
          "translation_limits"_a = py::none(), "forward_axis"_a = py::none())
      .def(
          "set_attachment_point_properties",
          [](SurfaceGripper& g, const std::string& surface_gripper_id,
             const std::optional<std::vector<std::string>>& joint_paths,
             const std::optional<json>& local_pose_0, const std::optional<json>& local_pose_1,
             std::optional<double> z_axis_translation_drive_stiffness,
             std::optional<double> z_axis_translation_drive_damping,
             const py::object& rotation_limits, const py::object& translation_limits,
             std::optional<double> clearance_offset,
             const std::optional<std::string>& forward_axis) {
            const auto rotation = axisLimitsArgument(rotation_limits);
            const auto translation = axisLimitsArgument(translation_limits);
            return withoutGil([&] {
              return g.setAttachmentPointProperties(
                  surface_gripper_id, joint_paths, local_pose_0, local_pose_1,
                  z_axis_translation_drive_stiffness, z_axis_translation_drive_damping, rotation,
                  translation, clearance_offset, view(forward_axis));
            });
          },
          "surface_gripper_id"_a, "joint_paths"_a = py::none(), "local_pose_0"_a = py::none(),
          "local_pose_1"_a = py::none(), "z_axis_translation_drive_stiffness"_a = py::none(),
          "z_axis_translation_drive_damping"_a = py::none(), "rotation_limits"_a = py::none(),
          "translation_limits"_a = py::none(), "clearance_offset"_a = py::none(),
          "forward_axis"_a = py::none());
}

/// Raises BufferError while arrays of `frame` are alive, RuntimeError while another thread captures
/// into it; otherwise marks it as being captured into until the guard goes.
class CaptureInto {
 public:
  explicit CaptureInto(Frame& frame) : frame_(frame) {
    if (frame_.capturing) throw std::runtime_error("the frame is in use by another thread");
    if (frame_.exports != nullptr) {
      throw py::buffer_error(
          "cannot capture into a CameraFrame while arrays of it are in use: delete them (and "
          "every array made from them) first, or copy what you keep");
    }
    frame_.capturing = true;
  }
  ~CaptureInto() { frame_.capturing = false; }
  CaptureInto(const CaptureInto&) = delete;
  CaptureInto& operator=(const CaptureInto&) = delete;

 private:
  Frame& frame_;
};

void bindCamera(py::module_& module) {
  py::class_<Camera>(module, "Cameras", "Cameras on the bridge; reached as client.cameras.")
      .def("create", method(&Camera::create), "prim_path"_a, "resolution"_a = py::none(),
           "frequency"_a = py::none(), WithoutGil())
      .def(
          "capture",
          [](Camera& camera, const std::string& camera_id,
             const std::optional<std::vector<std::string>>& data_types,
             std::optional<bool> world_frame, const py::object& into) -> py::object {
            if (into.is_none()) {
              // A captured frame moves into the Python object: its arrays are handed out, not
              // copied.
              return py::cast(std::make_unique<Frame>(
                  withoutGil([&] { return camera.capture(camera_id, data_types, world_frame); })));
            }
            if (!py::isinstance<Frame>(into)) {
              throw py::type_error("into must be a CameraFrame or None, not " +
                                   py::type::handle_of(into).attr("__name__").cast<std::string>());
            }
            Frame& frame = into.cast<Frame&>();
            const CaptureInto capturing(frame);
            withoutGil([&] { camera.capture(camera_id, frame.frame, data_types, world_frame); });
            return into;
          },
          "camera_id"_a, "data_types"_a = py::none(), "world_frame"_a = py::none(), py::kw_only(),
          "into"_a = py::none(),
          "POST /cameras/{id}/capture; the decoded frame. With into=frame (a CameraFrame) the "
          "answer is decoded into that frame, whose buffers are reused when the new arrays fit, "
          "and the frame is returned. Capturing into a frame raises BufferError while any array "
          "it handed out (or one made from such an array) is alive, before anything is sent, so "
          "that no array's data ever changes under its holder; delete them, or copy what you "
          "keep. On a failed capture the frame is left empty.")
      .def("remove", method(&Camera::remove), "camera_id"_a, WithoutGil());
}

}  // namespace

void bindFacades(py::module_& module) {
  bindLimits(module);
  bindArticulation(module);
  bindSurfaceGripper(module);
  bindCamera(module);
}

}  // namespace strandel::python
