// Scene scripts: the script file and its sections, declarations, the
// parameter readers and the fatal error ending.  The objects a script
// declares belong to the layers above (plugins/, effects/, scene3d/, built by
// registry/); this layer reaches them only through the hooks they install.
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
  std::string text;    // the line as written, without its line end, for messages
  DeclMode mode = DeclMode::None;
  int line = 0;        // line in the script file, for messages
  int building = 0;    // constructions of this declaration under way
  bool checked = false;  // its keys were checked against its class
};

// ---------------------------------------------------------------------------
// Script file.  The text is read from "velmorin.plg" the first time a section
// is loaded; plg_SetText gives it from memory instead (tests, fuzzing), with
// the name that messages give it.
void plg_SetFile(const char* path);
void plg_SetText(const std::string& text, const char* name = "velmorin.plg");
const char* plg_FileName();  // as messages name the script file
// True the first time it is asked about the line a declaration stands on,
// until the text changes: a section that several scenes include is declared
// once a scene, and checked once.
bool plg_FirstCheckOf(const Declaration* decl);
Declaration* plg_Load(const char* name, Declaration* list);
void plg_Bind(Declaration* list);  // every declaration's scene = list head
void plg_FreeList(Declaration* list);  // declarations and all their objects

// ---------------------------------------------------------------------------
// Declarations.  plg_Declare keeps the line as written in the declaration's
// text, then takes the buffer apart in place.
Declaration* plg_Declare(char* line, Declaration* list);
// The innermost declaration whose object is being built, or null.
const Declaration* plg_Building();
// Whether a shared declaration is being built since the newest construction
// of `decl` began: met again, `decl` is then part of a cycle that a shared
// object ends, not one that refers to itself.
bool plg_CycleIsShared(const Declaration* decl);
// Keeps a declaration on the building stack, and counted as under
// construction, while its object is built; also when an error unwinds (tests).
struct BuildScope {
  explicit BuildScope(Declaration* decl);
  ~BuildScope();
  BuildScope(const BuildScope&) = delete;
  BuildScope& operator=(const BuildScope&) = delete;

 private:
  Declaration* decl_;
};

// What the readers and plg_FreeList need of the layers above, installed by
// the registry when the program starts: building the object a label names,
// the implicit objects, destroying objects, and where a request is under way.
struct PlugBuilders {
  PlugIn* (*get)(Declaration* list, const char* label) = nullptr;
  PlugIn* (*constant)(float value, PlugIn* next) = nullptr;  // an implicit Constant
  PlugIn* (*layer)(PlugIn* next) = nullptr;                  // an implicit empty Layer
  void (*destroy)(PlugIn* object) = nullptr;                 // with the rest of its chain
  const Declaration* (*requesting)() = nullptr;              // see plg_Requesting
};
void plg_SetBuilders(const PlugBuilders& builders);

// What the fatal ending and the script file's loader leave to the runtime,
// which installs them when the program starts.  Without them a script error
// stops no music, and a missing script file is said on stderr (exit code 3).
struct ScriptExits {
  void (*stopMusic)() = nullptr;
  void (*cantLoad)(const char* text) = nullptr;  // the script file is missing; does not return
};
void plg_SetExits(const ScriptExits& exits);

enum class ParamKind { Number, Word, Value, Image, Text };

struct ParamInfo {
  const char* key;  // as the class passes it: " name="
  ParamKind kind;
  const char* def;  // default, as text
  const char* help;
};

// A table key as scripts write it: " W=" is "w".
std::string plg_ParamName(const char* key);

// Warns on stderr, at the declaration's line, about every item of its
// parameters that a class with these parameters never reads: unknown keys,
// repeated keys (only the first is read) and items without "=".  A Text
// parameter takes the rest of the text, so the scan ends there.  A
// declaration, and a line of the script, is checked once: later calls return
// 0 at once.  Returns the number of warnings; they never stop the show.
int plg_CheckParams(Declaration* decl, const ParamInfo* params);

// ---------------------------------------------------------------------------
// Parameter readers.
float lst_Float(Declaration* decl, const char* key, float def);
const char* lst_String(Declaration* decl, const char* key);  // shared buffer
PlugIn* lst_Ref(Declaration* decl, const char* key);
PlugIn* lst_Value(Declaration* decl, const char* key, float def);
PlugIn* lst_Stream(Declaration* decl, const char* key);
const char* lst_Parse(Declaration* decl, const char* key);

// A class reads its parameters through its table, one row a call in the
// table's order: the row gives the key and the default, so both are written
// once, in the table that also drives the key check and the documentation.
// A call of another kind than its row's, or a call past the table's end, is
// a fault of the class and stops the program at once.
class ParamReader {
 public:
  ParamReader(Declaration* decl, const ParamInfo* table) : decl_(decl), row_(table) {}
  float number();                // Number: the row's default is a number
  float number(float computed);  // Number whose default is worked out from earlier rows
  std::string word();            // Word: "" when absent
  PlugIn* value();               // Value: an implicit Constant of the default when absent
  PlugIn* image();               // Image: an implicit empty Layer when absent
  const char* text();            // Text: compulsory; the rest of the parameter text

 private:
  const ParamInfo& take(ParamKind kind);
  Declaration* decl_;
  const ParamInfo* row_;
};

// Test seam: while a hook is set, every reader above reports the key it looks
// up, as the class passes it.  nullptr removes the hook.
using lst_ReadHook = void (*)(const Declaration* decl, const char* key);
void lst_SetReadHook(lst_ReadHook hook);

// ---------------------------------------------------------------------------
// Fatal errors.  Both print "-> Error: %s !\n" on stdout and end the process
// with exit code 1 after stopping the music; a plugin error (the object
// model's reportPluginError) also leaves the graphics mode and prints "\n\n"
// first.  The ending is a seam: tests install a handler that throws instead.
//
// Before either ending (or the handler), stderr gets where in the script the
// error came from, "FILE:LINE: <declaration line>": for a plugin error the
// object's own declaration; for plg_Error, and for implicit objects, the
// innermost declared object whose request is under way, else the innermost
// declaration being built.  No line when there is none.
using plg_FatalHandler = void (*)(const char* message, bool pluginError);
// nullptr: the real ending.  Returns the handler in force before.
plg_FatalHandler plg_SetFatalHandler(plg_FatalHandler handler);

[[noreturn]] void plg_Error(const void* context, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// The ending itself, with the declaration to show (null: none).
[[noreturn]] void plg_Fatal(const char* message, bool pluginError, const Declaration* where);
// The declaration an error is about when the erring object has none: the
// innermost declared object whose request is under way, else the innermost
// declaration being built.
const Declaration* plg_ErrorPlace();
void plg_Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A message about a line of the script file, on stderr: "FILE:LINE: ...\n".
void plg_Note(int line, const char* format, ...) __attribute__((format(printf, 2, 3)));
