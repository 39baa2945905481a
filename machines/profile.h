// The fixed table of guest profiles: what kind of guest a machine holds and
// therefore how it is emulated, its defaults and where the map draws it.
#pragma once

#include <string>
#include <vector>

#include "core/common.h"
#include "machines/arch.h"

struct Profile {
  const char* id;       // stored in machine.ini as "profile"
  const char* family;   // upper-case family label
  const char* machine;  // upper-case label of the emulated hardware
  const char* blurb;    // upper-case one-line description
  OsKind os;
  ArchKind board;       // also selects the QEMU machine family
  const char* arch;     // QEMU target: qemu-system-<arch>.exe
  u32 tiger;            // 1: started through the launch script
  int mem_mb;
  int cpus;
  int disk_gb;
  int max_mem_mb;
  int max_cpus;
  const char* site;     // world-map site id
  const char* accel;    // "WHPX" or "TCG"
};

extern const std::vector<Profile> kProfiles;

const std::vector<Profile>& profiles();
// Exact, case-sensitive match on the id; null when none.
const Profile* find_profile(std::string_view id);
// Whether the forms offer the profile (the launch-script row needs its setup).
bool profile_shown(const Profile& p);
// Best profile for a disk or install-media file name; never null.
const Profile* guess_profile(const std::wstring& path);
