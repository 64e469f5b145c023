// Loads an outside library by name from the program directory and binds its entry points
// by export name. A library missing a required entry point is unloaded and treated as
// absent, with every entry (optional ones too) cleared.
#pragma once

#include <span>
#include <string>
#include <vector>

struct EntryPointDecl {
  const char* name;
  bool required;
};

struct LoadedLibrary {
  std::string name;             // "qarpeer"
  void* handle = nullptr;       // dlopen handle, null when absent
  std::vector<void*> entries;   // parallel to the entry points; null when not exported
  std::string missingEntry;     // the first required entry that was missing, if any

  bool Loaded() const { return handle != nullptr; }
  void* Entry(size_t index) const { return index < entries.size() ? entries[index] : nullptr; }
  template <typename Fn>
  Fn Call(size_t index) const {
    return reinterpret_cast<Fn>(Entry(index));
  }
};

// The file loaded is directory + "lib" + name + ".so".
bool LoadOutsideLibrary(const std::string& directory, const std::string& name, std::span<const EntryPointDecl> entryPoints,
                        LoadedLibrary& out);
void UnloadOutsideLibrary(LoadedLibrary& library);
