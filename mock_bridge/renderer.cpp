#include "renderer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace strandel::mock_bridge {
namespace {

using Color = std::array<double, 3>;

constexpr double kBoneRadius = 0.035;
constexpr double kJointRadius = 0.042;
constexpr double kFingerRadius = 0.016;
constexpr double kNear = 0.05;

/// The camera's frame and pixel mapping.
struct Projector {
  const CameraView& view;
  Vec3 forward, right, up;
  double tanHalf, aspect, focal;

  explicit Projector(const CameraView& v) : view(v) {
    forward = normalized(v.target - v.eye);
    right = normalized(cross(forward, Vec3{0.0, 0.0, 1.0}));
    if (norm(right) == 0.0) right = Vec3{1.0, 0.0, 0.0};
    up = cross(right, forward);
    tanHalf = std::tan(v.horizontal_fov / 2.0);
    aspect = static_cast<double>(v.height) / v.width;
    focal = v.width / 2.0 / tanHalf;
  }

  /// Pixel coordinates (x, y) and depth along the optical axis; depth <= kNear means behind.
  Vec3 project(const Vec3& p) const {
    const Vec3 d = p - view.eye;
    const double z = dot(d, forward);
    if (z <= kNear) return {0.0, 0.0, z};
    const double x = dot(d, right) / (z * tanHalf);
    const double y = dot(d, up) / (z * tanHalf * aspect);
    return {(x + 1.0) / 2.0 * view.width - 0.5, (1.0 - y) / 2.0 * view.height - 0.5, z};
  }

  /// The (unnormalised) ray through the pixel centre, with unit component along `forward`.
  Vec3 ray(int px, int py) const {
    const double x = ((px + 0.5) / view.width) * 2.0 - 1.0;
    const double y = 1.0 - ((py + 0.5) / view.height) * 2.0;
    return forward + right * (x * tanHalf) + up * (y * tanHalf * aspect);
  }
};

class Canvas {
 public:
  explicit Canvas(const CameraView& view)
      : projector_(view),
        width_(view.width),
        height_(view.height),
        color_(static_cast<std::size_t>(width_) * height_),
        depth_(static_cast<std::size_t>(width_) * height_, std::numeric_limits<float>::infinity()) {}

  void drawBackground() {
    const Vec3& eye = projector_.view.eye;
    for (int py = 0; py < height_; ++py) {
      for (int px = 0; px < width_; ++px) {
        const Vec3 d = projector_.ray(px, py);
        const std::size_t i = index(px, py);
        if (d.z < 0.0 && eye.z > 0.0) {
          const double t = -eye.z / d.z;  // z-depth, since d has unit forward component
          const Vec3 hit = eye + d * t;
          color_[i] = groundColor(hit, t);
          depth_[i] = static_cast<float>(t);
        } else {
          const double h = std::clamp(d.z / norm(d), 0.0, 1.0);
          color_[i] = {200 - 90 * h, 220 - 60 * h, 240 - 10 * h};
        }
      }
    }
  }

  /// A capsule of world radius `radius` from `a` to `b`, shaded as a cylinder.
  void drawCapsule(const Vec3& a, const Vec3& b, double radius, const Color& base) {
    const Vec3 pa = projector_.project(a);
    const Vec3 pb = projector_.project(b);
    if (pa.z <= kNear || pb.z <= kNear) return;
    const double ra = projector_.focal * radius / pa.z;
    const double rb = projector_.focal * radius / pb.z;
    const double rmax = std::max(ra, rb);
    const int x0 = std::max(0, static_cast<int>(std::floor(std::min(pa.x, pb.x) - rmax)));
    const int x1 = std::min(width_ - 1, static_cast<int>(std::ceil(std::max(pa.x, pb.x) + rmax)));
    const int y0 = std::max(0, static_cast<int>(std::floor(std::min(pa.y, pb.y) - rmax)));
    const int y1 = std::min(height_ - 1, static_cast<int>(std::ceil(std::max(pa.y, pb.y) + rmax)));
    const double dx = pb.x - pa.x;
    const double dy = pb.y - pa.y;
    const double len2 = dx * dx + dy * dy;
    for (int py = y0; py <= y1; ++py) {
      for (int px = x0; px <= x1; ++px) {
        double t = len2 > 0.0 ? ((px - pa.x) * dx + (py - pa.y) * dy) / len2 : 0.0;
        t = std::clamp(t, 0.0, 1.0);
        const double cx = pa.x + t * dx;
        const double cy = pa.y + t * dy;
        const double r = ra + t * (rb - ra);
        const double dist = std::hypot(px - cx, py - cy);
        if (r <= 0.0 || dist > r) continue;
        const double bulge = std::sqrt(1.0 - (dist / r) * (dist / r));
        const double z = pa.z + t * (pb.z - pa.z) - bulge * radius;
        const std::size_t i = index(px, py);
        if (z >= depth_[i]) continue;
        depth_[i] = static_cast<float>(z);
        const double shade = 0.45 + 0.55 * bulge;
        color_[i] = {base[0] * shade, base[1] * shade, base[2] * shade};
      }
    }
  }

  void drawFigure(const Figure& figure, std::size_t figureIndex) {
    static const std::array<Color, 3> kBodies = {Color{70, 110, 180}, Color{90, 150, 90}, Color{160, 90, 150}};
    const Color body = kBodies[figureIndex % kBodies.size()];
    const Color joint{235, 150, 40};
    for (std::size_t b = 0; b < figure.bones.size(); ++b) {
      const auto [from, to] = figure.bones[b];
      if (from >= figure.points.size() || to >= figure.points.size()) continue;
      const Color tint = b % 2 == 0 ? body : Color{body[0] + 40, body[1] + 40, body[2] + 40};
      drawCapsule(figure.points[from], figure.points[to], kBoneRadius, tint);
    }
    for (const Vec3& p : figure.points) drawCapsule(p, p, kJointRadius, joint);
    if (figure.gripper) drawGripper(*figure.gripper, figure.gripper_closed);
  }

  Images finish() const {
    Images images;
    images.rgb.resize(color_.size() * 3);
    for (std::size_t i = 0; i < color_.size(); ++i)
      for (std::size_t c = 0; c < 3; ++c)
        images.rgb[i * 3 + c] = static_cast<std::uint8_t>(std::clamp(color_[i][c], 0.0, 255.0));
    images.depth = depth_;
    return images;
  }

 private:
  std::size_t index(int px, int py) const { return static_cast<std::size_t>(py) * width_ + px; }

  static Color groundColor(const Vec3& hit, double distance) {
    const double lineWidth = std::max(0.008, distance * 0.002);
    const auto onLine = [&](double v, double spacing) {
      const double f = std::fabs(v / spacing - std::round(v / spacing)) * spacing;
      return f < lineWidth;
    };
    Color c{150, 152, 146};
    if (onLine(hit.x, 1.0) || onLine(hit.y, 1.0)) {
      c = {95, 97, 92};
    } else if (onLine(hit.x, 0.25) || onLine(hit.y, 0.25)) {
      c = {125, 127, 121};
    }
    const double fog = std::clamp((distance - 4.0) / 16.0, 0.0, 1.0);
    return {c[0] + (205 - c[0]) * fog, c[1] + (220 - c[1]) * fog, c[2] + (235 - c[2]) * fog};
  }

  void drawGripper(const Transform& pose, bool closed) {
    const Color color = closed ? Color{60, 190, 90} : Color{240, 120, 50};
    const double half = closed ? 0.02 : 0.06;
    const Vec3 left = apply(pose, Vec3{-0.075, 0.0, 0.0});
    const Vec3 right = apply(pose, Vec3{0.075, 0.0, 0.0});
    drawCapsule(left, right, kFingerRadius, color);
    for (const double side : {-half, half}) {
      const Vec3 root = apply(pose, Vec3{side, 0.0, 0.0});
      const Vec3 tip = apply(pose, Vec3{side, 0.0, 0.12});
      drawCapsule(root, tip, kFingerRadius, color);
    }
  }

  Projector projector_;
  int width_;
  int height_;
  std::vector<Color> color_;
  std::vector<float> depth_;
};

}  // namespace

Images render(const Scene& scene, const CameraView& view) {
  Canvas canvas(view);
  canvas.drawBackground();
  for (std::size_t i = 0; i < scene.figures.size(); ++i) canvas.drawFigure(scene.figures[i], i);
  return canvas.finish();
}

}  // namespace strandel::mock_bridge
