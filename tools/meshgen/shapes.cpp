// Procedural meshes for the show: parametric surfaces on a grid, and a clock
// made of a domed dial, a rim, hour marks and hands.
#include "meshgen.h"

#include <cmath>
#include <functional>

namespace {

constexpr double kPi = 3.14159265358979323846;

// A surface P(u, v), u and v in [0, 1], on an nu x nv grid of quads; a
// wrapped direction reuses its first row instead of repeating it.  P must
// turn dP/du x dP/dv outward.
Shape grid(int nu, int nv, bool wrapU, bool wrapV, const std::function<Vec3(double, double)>& P) {
  Shape s;
  const int cu = wrapU ? nu : nu + 1, cv = wrapV ? nv : nv + 1;
  for (int i = 0; i < cu; ++i)
    for (int j = 0; j < cv; ++j) s.vertices.push_back(P(double(i) / nu, double(j) / nv));
  auto at = [&](int i, int j) { return (i % cu) * cv + (j % cv); };
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      const int a = at(i, j), b = at(i + 1, j), c = at(i, j + 1), d = at(i + 1, j + 1);
      s.faces.push_back({a, b, c});
      s.faces.push_back({b, d, c});
    }
  return s;
}

void append(Shape& to, const Shape& part) {
  const int base = int(to.vertices.size());
  to.vertices.insert(to.vertices.end(), part.vertices.begin(), part.vertices.end());
  for (auto f : part.faces) to.faces.push_back({f[0] + base, f[1] + base, f[2] + base});
}

// A box from corner lo to corner hi, six quads facing out.
Shape box(Vec3 lo, Vec3 hi) {
  Shape s;
  for (int k = 0; k < 8; ++k) s.vertices.push_back({k & 1 ? hi.x : lo.x, k & 2 ? hi.y : lo.y, k & 4 ? hi.z : lo.z});
  // Each quad a, b, c, d runs counter-clockwise seen from outside in a
  // right-handed frame, which is what (B - A) x (C - A) pointing out needs.
  const int quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  for (const auto& q : quads) {
    s.faces.push_back({q[0], q[1], q[2]});
    s.faces.push_back({q[0], q[2], q[3]});
  }
  return s;
}

Shape turned(const Shape& s, double angle) {  // about z, clockwise seen from the eye
  Shape t = s;
  const double c = std::cos(angle), n = std::sin(angle);
  for (Vec3& v : t.vertices) v = {v.x * c + v.y * n, -v.x * n + v.y * c, v.z};
  return t;
}

}  // namespace

Shape torus(double R, double r, int around, int across) {
  return grid(around, across, true, true, [=](double u, double v) {
    const double a = 2 * kPi * u, b = 2 * kPi * v;
    return Vec3{(R + r * std::cos(b)) * std::cos(a), (R + r * std::cos(b)) * std::sin(a), r * std::sin(b)};
  });
}

Shape sphere(double R, int around, int across) {
  return grid(around, across, true, false, [=](double u, double v) {
    const double a = 2 * kPi * u, b = kPi * (v - 0.5);
    return Vec3{R * std::cos(b) * std::cos(a), R * std::cos(b) * std::sin(a), R * std::sin(b)};
  });
}

// A tube along a (p, q) torus knot.  The knot lies on a torus, so the torus'
// own normal there is a frame that closes on itself without a twist.
Shape knot(double R, double r, double tube, int p, int q, int along, int around) {
  auto centre = [=](double t) {
    return Vec3{(R + r * std::cos(q * t)) * std::cos(p * t), (R + r * std::cos(q * t)) * std::sin(p * t),
                r * std::sin(q * t)};
  };
  return grid(along, around, true, true, [=](double u, double v) {
    const double t = 2 * kPi * u, w = 2 * kPi * v;
    const Vec3 N{std::cos(p * t) * std::cos(q * t), std::sin(p * t) * std::cos(q * t), std::sin(q * t)};
    Vec3 T = centre(t + 1e-4) - centre(t - 1e-4);
    T = T * (1 / std::sqrt(dot(T, T)));
    const Vec3 B = cross(T, N);
    // cos N - sin B: with B = T x N, dP/du x dP/dv then points away from the centre line.
    return centre(t) + (N * std::cos(w) - B * std::sin(w)) * tube;
  });
}

// The dial faces the eye (-z): a shallow dome, a rounded rim and twelve
// marks standing out of it, the quarter marks longer.
Shape clockDial(double R) {
  Shape dial = grid(48, 8, true, false, [=](double u, double v) {
    const double a = -2 * kPi * u, rad = R * 0.92 * (1 - v);  // u runs clockwise seen from the eye: faces turn to it
    const double dome = R * 0.12 * (1 - (rad * rad) / (R * R));
    return Vec3{rad * std::cos(a), rad * std::sin(a), -dome};
  });
  append(dial, torus(R * 0.96, R * 0.06, 48, 6));
  for (int h = 0; h < 12; ++h) {
    const double len = h % 3 == 0 ? 0.16 : 0.09;
    const Shape mark = box({-R * 0.025, R * (0.86 - len), -R * 0.06}, {R * 0.025, R * 0.86, R * 0.0});
    append(dial, turned(mark, 2 * kPi * h / 12));
  }
  return dial;
}

// A hand points up (+y) from the pivot at the origin, in front of the dial.
Shape clockHand(double length, double width, double thickness) {
  Shape hand = box({-width / 2, -length * 0.15, -thickness * 2}, {width / 2, length, -thickness});
  append(hand, box({-width, -width, -thickness * 2.5}, {width, width, -thickness}));  // the hub
  return hand;
}
