// meshgen's parts: a mesh being built, the shapes, the OBJ reader and the
// pictures that go with the show's objects.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Vec3 {
  double x, y, z;
};
inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, double k) { return {a.x * k, a.y * k, a.z * k}; }
inline Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Faces wind so that (B - A) x (C - A) points out of the solid: the engine
// draws a face when that normal turns toward the eye.
struct Shape {
  std::vector<Vec3> vertices;
  std::vector<std::array<int, 3>> faces;
};

// Little-endian int16 counts less one, vertices, faces; coordinates rounded
// and clamped to int16.  false (with a message) when a count does not fit.
bool writeMesh(const Shape& shape, const std::string& path);
bool readObj(const std::string& path, Shape& out, std::string& error);
// Centres the shape on its bounding box and scales it so that its largest
// coordinate is radius.
void fitShape(Shape& shape, double radius);

Shape torus(double R, double r, int around, int across);
Shape sphere(double R, int around, int across);
Shape knot(double R, double r, double tube, int p, int q, int along, int around);
Shape clockDial(double R);
Shape clockHand(double length, double width, double thickness);

bool writeBumpMap(const std::string& path);
bool writeEnvMap(const std::string& path);
