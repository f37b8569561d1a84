// vtool's commands, one file each; each takes the arguments after its name
// and returns the exit status every command shares.
#pragma once

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;  // the engine's reader refuses the asset
constexpr int kExitUsage = 2;    // a usage or file error

int vtool_Png(int argc, char** argv);    // vtool.cpp
int vtool_Font(int argc, char** argv);   // font.cpp
int vtool_Mesh(int argc, char** argv);   // mesh.cpp
int vtool_Scene(int argc, char** argv);  // scene.cpp
int vtool_Keys(int argc, char** argv);   // scene.cpp
int vtool_Mpeg(int argc, char** argv);   // mpeg.cpp
