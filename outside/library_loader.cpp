#include "outside/library_loader.h"

#include <dlfcn.h>

#include "runtime/debug_log.h"
#include "runtime/str_printf.h"

bool LoadOutsideLibrary(const std::string& directory, const std::string& name, std::span<const EntryPointDecl> entryPoints,
                        LoadedLibrary& out) {
  UnloadOutsideLibrary(out);
  out.name = name;
  out.entries.assign(entryPoints.size(), nullptr);
  out.missingEntry.clear();
  std::string path = directory + "lib" + name + ".so";
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    if (DebugSettings.Debug2.load()) WriteDebugLog("LoadLibrary", StrPrintf("%s: %s", path.c_str(), why ? why : ""));
    return false;
  }
  for (size_t i = 0; i < entryPoints.size(); ++i) {
    void* entry = dlsym(handle, entryPoints[i].name);
    if (entry == nullptr && entryPoints[i].required) {
      out.missingEntry = entryPoints[i].name;
      WriteDebugLog("LoadLibrary", StrPrintf("%s lacks %s; not used", path.c_str(), entryPoints[i].name));
      dlclose(handle);
      out.entries.assign(entryPoints.size(), nullptr);
      return false;
    }
    out.entries[i] = entry;
  }
  out.handle = handle;
  return true;
}

void UnloadOutsideLibrary(LoadedLibrary& library) {
  if (library.handle != nullptr) dlclose(library.handle);
  library.handle = nullptr;
  library.entries.assign(library.entries.size(), nullptr);
}
