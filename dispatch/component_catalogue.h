#pragma once

#include <json/json.h>

#include <string>

// The installed components: shared libraries in the component directory whose
// names end in ".dylib".

// The component directory, with its final slash.
std::string ComponentDirectory();

// The library path for a component name: a name with a slash or backslash is
// a path and used as it is; ".dylib" is appended when the name lacks it; a
// name without a path lives in the component directory.
std::string getdllpath(std::string name);

// "list" (names joined with ","), "listsize"; -900 when the directory (the
// component directory, or "componentpath") does not exist.
int getComponentList(Json::Value request, std::string& reply);

// "md5" of the library named by "name" (32 lower-case hexadecimal digits);
// -905 for a missing or empty name, -901 when nothing exists at the path.
int getComponentMd5(Json::Value request, std::string& reply);
