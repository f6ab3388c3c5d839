#include "renderer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace strandel::mock_bridge {
namespace {

using Color = std::array<double, 3>;

constexpr double kBoneRadius = 0.035;
constexpr double kJointRadius = 0.042;
constexpr double kFingerRadius = 0.016;
constexpr double kNear = 0.05;

/// |v - the integer nearest v|, equal to std::fabs(v - std::round(v)) for every v (the two round
/// ties differently, but a tie is 0.5 away either way) without a library call.
double offInteger(double v) {
  constexpr double kExactBelow = 2251799813685248.0;  // 2^51
  constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52: v + kShift rounds v to an integer
  if (!(std::fabs(v) < kExactBelow)) return std::fabs(v - std::round(v));
  return std::fabs(v - ((v + kShift) - kShift));
}

/// A colour channel as stored: clamped to [0, 255], then truncated.
std::uint8_t channel(double value) {
  return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
}

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

  // The (unnormalised) ray through the centre of pixel (px, py), with unit component along
  // `forward`, is columnTerm(px) + rowTerm(py).

  /// forward + the horizontal offset of column `px`.
  Vec3 columnTerm(int px) const {
    const double x = ((px + 0.5) / view.width) * 2.0 - 1.0;
    return forward + right * (x * tanHalf);
  }
  /// The vertical offset of row `py`.
  Vec3 rowTerm(int py) const {
    const double y = 1.0 - ((py + 0.5) / view.height) * 2.0;
    return up * (y * tanHalf * aspect);
  }
};

/// The columns of pixel row `py` that can lie within `radius` of the screen segment from `a` to
/// `b` (x, y in pixels), widened by one pixel on each side against rounding and kept within
/// [x0, x1]; first > last when there are none.
std::pair<int, int> capsuleRowSpan(int py, const Vec3& a, const Vec3& b, double radius, int x0,
                                   int x1) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  double lo = kInf;
  double hi = -kInf;
  // The discs at either end.
  for (const Vec3* c : {&a, &b}) {
    const double dy = py - c->y;
    const double h2 = radius * radius - dy * dy;
    if (h2 < 0.0) continue;
    const double h = std::sqrt(h2);
    lo = std::min(lo, c->x - h);
    hi = std::max(hi, c->x + h);
  }
  // The band between them: low <= slope * x + offset <= high for both the projection onto the
  // segment (within [0, len2]) and the signed distance from its line (times its length).
  const double dx = b.x - a.x;
  const double dy = b.y - a.y;
  const double len2 = dx * dx + dy * dy;
  if (len2 > 0.0) {
    double bandLo = -kInf;
    double bandHi = kInf;
    const auto keep = [&](double slope, double offset, double low, double high) {
      if (slope == 0.0) {
        if (offset < low || offset > high) bandLo = kInf;
        return;
      }
      double from = (low - offset) / slope;
      double to = (high - offset) / slope;
      if (from > to) std::swap(from, to);
      bandLo = std::max(bandLo, from);
      bandHi = std::min(bandHi, to);
    };
    const double rowY = py - a.y;
    keep(dx, rowY * dy - a.x * dx, 0.0, len2);
    const double reach = radius * std::sqrt(len2);
    keep(dy, -rowY * dx - a.x * dy, -reach, reach);
    if (bandLo <= bandHi) {
      lo = std::min(lo, bandLo);
      hi = std::max(hi, bandHi);
    }
  }
  if (!(lo <= hi)) return {1, 0};
  lo = std::max(lo, x0 - 1.0);
  hi = std::min(hi, x1 + 1.0);
  return {std::max(x0, static_cast<int>(std::floor(lo)) - 1),
          std::min(x1, static_cast<int>(std::ceil(hi)) + 1)};
}

/// Draws into the output images directly: colours are stored as bytes when a pixel is painted,
/// depth as float32.
class Canvas {
 public:
  explicit Canvas(const CameraView& view)
      : projector_(view), width_(view.width), height_(view.height) {
    const std::size_t pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    images_.rgb.resize(pixels * 3);
    images_.depth.resize(pixels);
  }

  /// Ground (grid and fog) below the horizon, sky gradient above it. Every row's ray direction
  /// has the same z (the camera's right axis is horizontal by construction), so a row is either
  /// all ground or all sky and meets the ground at one depth.
  void drawBackground() {
    const Vec3& eye = projector_.view.eye;
    std::vector<Vec3> columns(static_cast<std::size_t>(width_));
    for (int px = 0; px < width_; ++px)
      columns[static_cast<std::size_t>(px)] = projector_.columnTerm(px);
    for (int py = 0; py < height_; ++py) {
      const Vec3 row = projector_.rowTerm(py);
      if (columns[0].z + row.z < 0.0 && eye.z > 0.0) {
        drawGroundRow(py, columns, row);
      } else {
        drawSkyRow(py, columns, row);
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
      const auto [first, last] = capsuleRowSpan(py, pa, pb, rmax, x0, x1);
      for (int px = first; px <= last; ++px) {
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
        if (z >= images_.depth[i]) continue;
        images_.depth[i] = static_cast<float>(z);
        const double shade = 0.45 + 0.55 * bulge;
        paint(i, {base[0] * shade, base[1] * shade, base[2] * shade});
      }
    }
  }

  void drawFigure(const Figure& figure, std::size_t figureIndex) {
    static const std::array<Color, 3> kBodies = {Color{70, 110, 180}, Color{90, 150, 90},
                                                 Color{160, 90, 150}};
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

  Images finish() { return std::move(images_); }

 private:
  std::size_t index(int px, int py) const {
    return static_cast<std::size_t>(py) * static_cast<std::size_t>(width_) +
           static_cast<std::size_t>(px);
  }

  void paint(std::size_t i, const Color& c) {
    std::uint8_t* rgb = images_.rgb.data() + i * 3;
    rgb[0] = channel(c[0]);
    rgb[1] = channel(c[1]);
    rgb[2] = channel(c[2]);
  }

  /// A ground row: grid lines every 1 m (dark) and 0.25 m (lighter), at least 8 mm wide and
  /// wider with distance, fading into fog from 4 m to 20 m.
  void drawGroundRow(int py, const std::vector<Vec3>& columns, const Vec3& row) {
    const Vec3& eye = projector_.view.eye;
    const double t =
        -eye.z / (columns[0].z + row.z);  // z-depth, since the ray has unit forward component
    const double lineWidth = std::max(0.008, t * 0.002);
    const double fog = std::clamp((t - 4.0) / 16.0, 0.0, 1.0);
    const auto fogged = [&](const Color& c) -> std::array<std::uint8_t, 3> {
      return {channel(c[0] + (205 - c[0]) * fog), channel(c[1] + (220 - c[1]) * fog),
              channel(c[2] + (235 - c[2]) * fog)};
    };
    const std::array<std::uint8_t, 3> plain = fogged({150, 152, 146});
    const std::array<std::uint8_t, 3> minor = fogged({125, 127, 121});
    const std::array<std::uint8_t, 3> major = fogged({95, 97, 92});
    const float depth = static_cast<float>(t);
    std::uint8_t* rgb = images_.rgb.data() + index(0, py) * 3;
    float* depths = images_.depth.data() + index(0, py);
    const bool lines = major != plain || minor != plain;
    for (int px = 0; px < width_; ++px) {
      const std::array<std::uint8_t, 3>* c = &plain;
      if (lines) {
        const Vec3& column = columns[static_cast<std::size_t>(px)];
        const double hitX = eye.x + (column.x + row.x) * t;
        const double hitY = eye.y + (column.y + row.y) * t;
        // A point on a 1 m line is also on a 0.25 m line, so most points need only this test.
        if (offInteger(hitX * 4.0) * 0.25 < lineWidth || offInteger(hitY * 4.0) * 0.25 < lineWidth)
          c = offInteger(hitX) < lineWidth || offInteger(hitY) < lineWidth ? &major : &minor;
      }
      rgb[0] = (*c)[0];
      rgb[1] = (*c)[1];
      rgb[2] = (*c)[2];
      rgb += 3;
      depths[px] = depth;
    }
  }

  /// A sky row: a gradient by the ray's elevation, nothing hit (depth +infinity).
  void drawSkyRow(int py, const std::vector<Vec3>& columns, const Vec3& row) {
    std::uint8_t* rgb = images_.rgb.data() + index(0, py) * 3;
    float* depths = images_.depth.data() + index(0, py);
    for (int px = 0; px < width_; ++px) {
      const Vec3 d = columns[static_cast<std::size_t>(px)] + row;
      const double h = std::clamp(d.z / norm(d), 0.0, 1.0);
      rgb[0] = channel(200 - 90 * h);
      rgb[1] = channel(220 - 60 * h);
      rgb[2] = channel(240 - 10 * h);
      rgb += 3;
      depths[px] = std::numeric_limits<float>::infinity();
    }
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
  Images images_;
};

}  // namespace

Images render(const Scene& scene, const CameraView& view) {
  Canvas canvas(view);
  canvas.drawBackground();
  for (std::size_t i = 0; i < scene.figures.size(); ++i) canvas.drawFigure(scene.figures[i], i);
  return canvas.finish();
}

}  // namespace strandel::mock_bridge
