#pragma once

// Small value types for rigid transforms in metres and radians. Plain values, no state, safe to
// use from any thread.

#include <cmath>

namespace strandel::mock_bridge {

struct Vec3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

inline Vec3 operator+(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(const Vec3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }
/// `a` scaled to unit length; a zero vector stays zero.
inline Vec3 normalized(const Vec3& a) {
  const double n = norm(a);
  return n > 0.0 ? a * (1.0 / n) : a;
}

/// A unit quaternion (w, x, y, z) describing a rotation.
struct Quat {
  double w = 1.0;
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};

inline Quat operator*(const Quat& a, const Quat& b) {
  return {
      a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
      a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

/// The rotation by `angle` radians about `axis` (normalised here; a zero axis gives identity).
inline Quat axisAngle(const Vec3& axis, double angle) {
  const Vec3 u = normalized(axis);
  const double s = std::sin(angle / 2.0);
  return {std::cos(angle / 2.0), u.x * s, u.y * s, u.z * s};
}

inline Vec3 rotate(const Quat& q, const Vec3& v) {
  const Vec3 u{q.x, q.y, q.z};
  const Vec3 t = cross(u, v) * 2.0;
  return v + t * q.w + cross(u, t);
}

/// A rigid transform: rotate, then translate.
struct Transform {
  Quat rotation;
  Vec3 translation;
};

/// The transform that applies `b` first, then `a`.
inline Transform compose(const Transform& a, const Transform& b) {
  return {a.rotation * b.rotation, a.translation + rotate(a.rotation, b.translation)};
}

inline Vec3 apply(const Transform& t, const Vec3& p) {
  return t.translation + rotate(t.rotation, p);
}

}  // namespace strandel::mock_bridge
