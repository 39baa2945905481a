// Machine records (one folder with machine.ini each) and the library that
// owns them for the life of the program.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/common.h"

struct Machine {
  std::wstring dir;    // the machine's folder
  std::wstring disk;   // disk image (may lie outside the folder)
  std::wstring cdrom;  // install media, empty when none
  std::string id;      // folder leaf name; never written to machine.ini
  std::string name;
  std::string profile;
  std::string extra;   // extra QEMU arguments, command-line text
  int mem = 0;         // MiB
  int cpus = 0;
  bool install = false;
  bool scratch = false;
  i64 created = 0;     // Unix seconds
  i64 last_run = 0;    // Unix seconds; 0 never

  // False (only dir set) when the folder holds no machine.ini.
  bool load(const std::wstring& folder);
  // True when every value was written; false for an empty dir.
  bool save() const;
  // This machine runs the launch script's own disk.
  bool is_main_tiger() const;
};

// The machines in library order (after load: latest last_run first; created
// machines go to the front).
struct Library : std::vector<std::unique_ptr<Machine>> {

  void load();
  // Null when no machines folder is set.
  Machine* create(const std::string& name, const std::string& profile);
  // Deletes machine.ini (and the folder when then empty), unlinks running
  // Vms, destroys the record.
  void forget(Machine* m);
  Machine* by_disk(const std::wstring& path);
  Machine* by_id(const std::string& id);
};

extern Library g_lib;

// Identity of a file path: absolute, lower-cased, backslashes only.
std::wstring norm_path(const std::wstring& path);
// Folder id for a machine name.
std::string slugify(const std::string& text);
