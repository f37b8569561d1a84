// The scene compiler's pieces: Wavefront OBJ in and out, and the show's
// procedural worlds.
#pragma once

#include "scene3d/scene3d.h"

#include <cstdint>
#include <string>
#include <vector>

// A material: its name in the MTL file and its map as grey texels.
struct Material {
  std::string name;
  std::string mapFile;  // as map_Kd names it
  int width = 0, height = 0;
  std::vector<uint8_t> grey;
};

// A mesh as OBJ holds it: normalised texture coordinates, materials by index.
struct ObjMesh {
  std::vector<Vec3> positions;
  std::vector<float> tu, tv;  // OBJ's vt, v pointing up
  struct Face {
    int32_t vertex[3];
    int32_t tex[3];  // -1: none
    int32_t material;
  };
  std::vector<Face> faces;
  std::vector<Material> materials;
};

// Reads an OBJ file with its MTL libraries and their maps.  Polygons are
// split into fans of triangles.  Errors go to *error.
bool obj_Read(const std::string& path, ObjMesh* mesh, std::string* error);
// Writes NAME.obj, NAME.mtl and one PNG a material into dir.
bool obj_Write(const std::string& dir, const std::string& name, const ObjMesh& mesh, std::string* error);

// The show's worlds by name ("komin3d", "valec3d"); false for another name.
bool world_Make(const std::string& name, ObjMesh* mesh);
