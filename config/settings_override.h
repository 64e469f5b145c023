// Tests only: changes the settings block for the life of the object and restores it at the
// end of the scope. Fields are set through the object: `settings->MaxQDirEntries = 2;`.
#pragma once

#include "config/settings.h"

SettingsBlock& WritableSettingsForTests();

class SettingsOverride {
 public:
  // Starts from the current values, or from the given block (SettingsBlock{} for defaults).
  SettingsOverride() : saved_(Settings) {}
  explicit SettingsOverride(const SettingsBlock& start) : saved_(Settings) { WritableSettingsForTests() = start; }
  ~SettingsOverride() { WritableSettingsForTests() = saved_; }
  SettingsOverride(const SettingsOverride&) = delete;
  SettingsOverride& operator=(const SettingsOverride&) = delete;

  SettingsBlock* operator->() { return &WritableSettingsForTests(); }

 private:
  SettingsBlock saved_;
};
