// Scene scripts: the script file and its sections, declarations and the
// plugin registry, and the parameter readers.
#pragma once

#include <string>

struct PlugIn;

enum class DeclMode { None = 0, Instanced = 1, Shared = 2 };

struct Declaration {
  Declaration* next = nullptr;   // next older declaration of the label list
  Declaration* scene = nullptr;  // head of the section's label list
  PlugIn* object = nullptr;      // newest object built from this declaration
  PlugIn* implicit = nullptr;    // newest implicit object of the readers
  std::string type;
  std::string label;
  std::string params;  // " key=value key=value ..."
  DeclMode mode = DeclMode::None;
  int line = 0;        // line in the script file, for messages
  int building = 0;    // constructions of this declaration under way
};

// ---------------------------------------------------------------------------
// Script file.  The text is read from "velmorin.plg" the first time a section
// is loaded; plg_SetText gives it from memory instead (tests, fuzzing).
void plg_SetFile(const char* path);
void plg_SetText(const std::string& text);
Declaration* plg_Load(const char* name, Declaration* list);
void plg_Bind(Declaration* list);  // every declaration's scene = list head
void plg_FreeList(Declaration* list);  // declarations and all their objects

// ---------------------------------------------------------------------------
// Declarations and the registry.
Declaration* plg_Declare(char* line, Declaration* list);
PlugIn* plg_Get(Declaration* list, const char* label);

enum class PlugKind { Value, Stream };
enum class ParamKind { Number, Word, Value, Image, Text };

struct ParamInfo {
  const char* key;  // as the class passes it: " name="
  ParamKind kind;
  const char* def;  // default, as text
  const char* help;
};

struct PlugInfo {
  const char* keyword;
  PlugKind kind;
  PlugIn* (*make)(Declaration* decl, PlugIn* next);
  const ParamInfo* params;  // terminated by a row with a null key
};

// The keyword table, in matching order; terminated by a row with a null keyword.
const PlugInfo* plg_Registry();

// ---------------------------------------------------------------------------
// Parameter readers.
float lst_Float(Declaration* decl, const char* key, float def);
const char* lst_String(Declaration* decl, const char* key);  // shared buffer
PlugIn* lst_Ref(Declaration* decl, const char* key);
PlugIn* lst_Value(Declaration* decl, const char* key, float def);
PlugIn* lst_Stream(Declaration* decl, const char* key);
const char* lst_Parse(Declaration* decl, const char* key);

// ---------------------------------------------------------------------------
// Fatal errors.  Both print "-> Error: %s !\n" on stdout and end the process
// with exit code 1 after stopping the music; reportPluginError also leaves the
// graphics mode and prints "\n\n" first.  The ending is a seam: tests install
// a handler that throws instead.
using plg_FatalHandler = void (*)(const char* message, bool pluginError);
void plg_SetFatalHandler(plg_FatalHandler handler);  // nullptr: the real ending

[[noreturn]] void plg_Error(const void* context, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
[[noreturn]] void reportPluginError(const PlugIn* object, const char* message);
void plg_Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
