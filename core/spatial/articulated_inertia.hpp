// The spatial inertia of an articulated body (a symmetric 6x6 matrix) and the general
// 3x3 matrix its off-diagonal block needs.
#pragma once

#include <array>

#include "core/spatial/motion.hpp"
#include "core/spatial/se3.hpp"
#include "core/spatial/symmetric3.hpp"
#include "core/spatial/vector3d.hpp"

namespace velmora {

// A general 3x3 matrix stored column by column: element (i, j) at m[i + 3 j].
struct Matrix3 {
  std::array<double, 9> m{};

  constexpr double operator()(int i, int j) const { return m[i + 3 * j]; }
  constexpr double& operator()(int i, int j) { return m[i + 3 * j]; }
  constexpr Vector3D row(int i) const { return {m[i], m[i + 3], m[i + 6]}; }
  constexpr Vector3D column(int j) const { return {m[3 * j], m[3 * j + 1], m[3 * j + 2]}; }
  constexpr void set_row(int i, const Vector3D& v) { m[i] = v.x, m[i + 3] = v.y, m[i + 6] = v.z; }
  constexpr void set_column(int j, const Vector3D& v) { m[3 * j] = v.x, m[3 * j + 1] = v.y, m[3 * j + 2] = v.z; }

  constexpr Vector3D operator*(const Vector3D& v) const {
    return {m[0] * v.x + m[3] * v.y + m[6] * v.z, m[1] * v.x + m[4] * v.y + m[7] * v.z,
            m[2] * v.x + m[5] * v.y + m[8] * v.z};
  }
  // M^T v
  constexpr Vector3D transpose_mul(const Vector3D& v) const {
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
            m[6] * v.x + m[7] * v.y + m[8] * v.z};
  }
  constexpr Matrix3& operator+=(const Matrix3& o) {
    for (int k = 0; k < 9; ++k) m[k] += o.m[k];
    return *this;
  }

  // R M R^T, for R of shape K (see SpatialRotation::rotate).
  template <int K = -1>
  constexpr Matrix3 rotate(const SpatialRotation& r) const {
    if constexpr (K == kIdentityShape) {
      return *this;
    } else if constexpr (K >= 0) {
      return rotate_about<K>(r((K + 1) % 3, (K + 1) % 3), r((K + 2) % 3, (K + 1) % 3));
    } else {
      Matrix3 t;  // M R^T, row by row: row i of M times R^T is R (row i of M)
      for (int i = 0; i < 3; ++i) t.set_row(i, r * row(i));
      Matrix3 out;  // R (M R^T), column by column
      for (int j = 0; j < 3; ++j) out.set_column(j, r * t.column(j));
      return out;
    }
  }
  // R M R^T for R = SpatialRotation::about<K>(c, s): rows and then columns i and j mix.
  template <int K>
  constexpr Matrix3 rotate_about(double c, double s) const {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    Matrix3 out = *this;
    for (int col = 0; col < 3; ++col) {
      const double a = (*this)(i, col), b = (*this)(j, col);
      out(i, col) = c * a - s * b;
      out(j, col) = s * a + c * b;
    }
    for (int r = 0; r < 3; ++r) {
      const double a = out(r, i), b = out(r, j);
      out(r, i) = c * a - s * b;
      out(r, j) = s * a + c * b;
    }
    return out;
  }
};

// A symmetric 6x6 matrix in blocks [[A, B], [B^T, C]] with A and C symmetric: the
// inertia of a body together with the bodies its joints carry, as the articulated-body
// algorithm accumulates it. Applied to a motion (w; v) it gives the force
// (A w + B v; B^T w + C v).
struct ArticulatedInertia {
  Symmetric3 A;
  Matrix3 B;
  Symmetric3 C;

  // The rigid body of mass m, centre of mass c and rotational inertia Ic about it:
  // A = Ic - m [c]x^2, B = m [c]x, C = m 1.
  static constexpr ArticulatedInertia from_rigid(double mass, const Vector3D& c, const Symmetric3& Ic) {
    const Vector3D mc = c * mass;
    return {Ic - Symmetric3::skew_square(c) * mass,
            Matrix3{{0, mc.z, -mc.y, -mc.z, 0, mc.x, mc.y, -mc.x, 0}},
            Symmetric3{{mass, mass, mass, 0, 0, 0}}};
  }

  constexpr SpatialForce operator*(const SpatialMotion& x) const {
    return {A * x.rotation + B * x.translation, B.transpose_mul(x.rotation) + C * x.translation};
  }
  // The product with a motion that only rotates, (k; 0), or only translates, (0; k).
  constexpr SpatialForce times_rotation(const Vector3D& k) const { return {A * k, B.transpose_mul(k)}; }
  constexpr SpatialForce times_translation(const Vector3D& k) const { return {B * k, C * k}; }

  // The sum of two inertias in the same frame.
  constexpr ArticulatedInertia& operator+=(const ArticulatedInertia& o) {
    for (int k = 0; k < 6; ++k) A.data[k] += o.A.data[k], C.data[k] += o.C.data[k];
    B += o.B;
    return *this;
  }

  // this -= U U^T / d, with U given as a force (n; f).
  constexpr void subtract_outer(const SpatialForce& U, double inv_d) {
    const Vector3D& n = U.angular;
    const Vector3D& f = U.linear;
    const Vector3D nd = n * inv_d, fd = f * inv_d;
    A.data[0] -= nd.x * n.x, A.data[1] -= nd.y * n.y, A.data[2] -= nd.z * n.z;
    A.data[3] -= nd.x * n.y, A.data[4] -= nd.x * n.z, A.data[5] -= nd.y * n.z;
    C.data[0] -= fd.x * f.x, C.data[1] -= fd.y * f.y, C.data[2] -= fd.z * f.z;
    C.data[3] -= fd.x * f.y, C.data[4] -= fd.x * f.z, C.data[5] -= fd.y * f.z;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) B(i, j) -= nd[i] * f[j];
  }

  // The same for U = IA S and 1 / d = 1 / (S^T IA S), S = (+-e_K; 0) the column of a rotation
  // about coordinate axis K: U's element K is +-d, so row and column K of the rotational
  // block (and row K of B) become exactly zero (the projected inertia does not resist the
  // joint's own motion). They are set so instead of computed as differences of equal
  // numbers; the other entries are those of subtract_outer.
  template <int K>
  constexpr void subtract_outer_axis(const SpatialForce& U, double inv_d) {
    constexpr int lo = K == 0 ? 1 : 0, hi = K == 2 ? 1 : 2;  // the other two axes, in order
    const Vector3D& n = U.angular;
    const Vector3D& f = U.linear;
    const double nlo = n[lo] * inv_d, nhi = n[hi] * inv_d;
    const Vector3D fd = f * inv_d;
    A(lo, lo) -= nlo * n[lo], A(hi, hi) -= nhi * n[hi], A(lo, hi) -= nlo * n[hi];
    A(K, K) = 0, A(K, lo) = 0, A(K, hi) = 0;
    C.data[0] -= fd.x * f.x, C.data[1] -= fd.y * f.y, C.data[2] -= fd.z * f.z;
    C.data[3] -= fd.x * f.y, C.data[4] -= fd.x * f.z, C.data[5] -= fd.y * f.z;
    for (int j = 0; j < 3; ++j) B(lo, j) -= nlo * f[j], B(hi, j) -= nhi * f[j], B(K, j) = 0;
  }

  // rotate<K>(r).add_translated_to(p, parent) for r a rotation about coordinate axis K and
  // an inertia whose rotational block has row and column K zero, and its coupling block
  // row K (as subtract_outer_axis<K> leaves it): the rotation keeps them zero, and the
  // products and sums with them are left out.
  template <int K>
  constexpr void add_turned_translated_to(const SpatialRotation& r, const Vector3D& p,
                                          ArticulatedInertia& parent) const {
    constexpr int i = (K + 1) % 3, j = (K + 2) % 3;
    const double c = r(i, i), s = r(j, i);
    // The rotational block: its (i, j) corner only (Symmetric3::rotate_about).
    const double sii = A(i, i), sjj = A(j, j), sij = A(i, j);
    const double cc = c * c, ss = s * s, cs = c * s;
    const double aii = cc * sii - 2 * cs * sij + ss * sjj, ajj = ss * sii + 2 * cs * sij + cc * sjj,
                 aij = cs * (sii - sjj) + (cc - ss) * sij;
    // The coupling block: rows i and j mix, then columns i and j of those rows
    // (Matrix3::rotate_about); row K stays zero.
    Matrix3 b;
    for (int col = 0; col < 3; ++col) {
      const double x = B(i, col), y = B(j, col);
      b(i, col) = c * x - s * y;
      b(j, col) = s * x + c * y;
    }
    for (const int row : {i, j}) {
      const double x = b(row, i), y = b(row, j);
      b(row, i) = c * x - s * y;
      b(row, j) = s * x + c * y;
    }
    const Symmetric3 cr = C.rotate_about<K>(c, s);
    // The translation as add_translated_to, with B' = b + P C, Z = (b + B') P.
    Matrix3 b2;
    for (int k = 0; k < 3; ++k) {
      const Vector3D pc = velmora::cross(p, Vector3D{cr(0, k), cr(1, k), cr(2, k)});
      b2(K, k) = pc[K];
      b2(i, k) = b(i, k) + pc[i];
      b2(j, k) = b(j, k) + pc[j];
    }
    Vector3D z[3];
    z[K] = velmora::cross(b2.row(K), p);
    z[i] = velmora::cross(b.row(i) + b2.row(i), p);
    z[j] = velmora::cross(b.row(j) + b2.row(j), p);
    parent.A(K, K) -= z[K][K];
    parent.A(i, i) += aii - z[i][i];
    parent.A(j, j) += ajj - z[j][j];
    parent.A(K, i) -= 0.5 * (z[K][i] + z[i][K]);
    parent.A(K, j) -= 0.5 * (z[K][j] + z[j][K]);
    parent.A(i, j) += aij - 0.5 * (z[i][j] + z[j][i]);
    parent.B += b2;
    for (int k = 0; k < 6; ++k) parent.C.data[k] += cr.data[k];
  }

  // The trace of the rotational block about the point p (this inertia being about the
  // origin), A + B [p] + [p]^T B^T + [p]^T C [p] with [p] the cross-product matrix of p:
  // the rotational size of the inertia as seen from p, the same in any axes.
  constexpr double rotational_trace_about(const Vector3D& p) const {
    const double trace_a = A.data[0] + A.data[1] + A.data[2];
    const double trace_bp = p.z * (B(0, 1) - B(1, 0)) + p.y * (B(2, 0) - B(0, 2)) + p.x * (B(1, 2) - B(2, 1));
    const double trace_c = C.data[0] + C.data[1] + C.data[2];
    return trace_a + 2 * trace_bp + trace_c * p.dot(p) - p.dot(C * p);
  }

  // The blocks turned into other axes, R M R^T each, for R of shape K (see
  // SpatialRotation::rotate): a rotation about a coordinate axis costs a fraction of a
  // general one.
  template <int K = -1>
  constexpr ArticulatedInertia rotate(const SpatialRotation& r) const {
    return {A.rotate<K>(r), B.rotate<K>(r), C.rotate<K>(r)};
  }
  // The product with the motion subspace column of a joint about coordinate axis K with
  // sign `sign` (SpatialMotion (sign e_K; 0)): the K-th column of the upper blocks.
  template <int K>
  constexpr SpatialForce times_rotation_axis(double sign) const {
    return {Vector3D{A(0, K), A(1, K), A(2, K)} * sign, B.row(K) * sign};
  }

  // Adds this inertia, given in axes parallel to the parent's with its origin at p in
  // the parent frame, to `parent` (the congruence with the translation's force and
  // inverse motion transforms). With P = [p]x:
  //   A' = A - B P - (B P)^T - P C P,  B' = B + P C,  C' = C.
  // P C P is symmetric, so with W = B + B' and Z = W P = 2 B P + P C P the rotational block
  // is A' = A - (Z + Z^T) / 2: two products of a 3x3 matrix with [p]x instead of three.
  constexpr void add_translated_to(const Vector3D& p, ArticulatedInertia& parent) const {
    Matrix3 b2;  // B' = B + P C (columns of C crossed with p)
    for (int k = 0; k < 3; ++k) b2.set_column(k, B.column(k) + velmora::cross(p, Vector3D{C(0, k), C(1, k), C(2, k)}));
    // The rows of Z: (row k of W) x p.
    const Vector3D z0 = velmora::cross(B.row(0) + b2.row(0), p), z1 = velmora::cross(B.row(1) + b2.row(1), p),
                   z2 = velmora::cross(B.row(2) + b2.row(2), p);
    std::array<double, 6>& a = parent.A.data;
    a[0] += A.data[0] - z0.x;
    a[1] += A.data[1] - z1.y;
    a[2] += A.data[2] - z2.z;
    a[3] += A.data[3] - 0.5 * (z0.y + z1.x);
    a[4] += A.data[4] - 0.5 * (z0.z + z2.x);
    a[5] += A.data[5] - 0.5 * (z1.z + z2.y);
    parent.B += b2;
    for (int k = 0; k < 6; ++k) parent.C.data[k] += C.data[k];
  }
};

}  // namespace velmora
