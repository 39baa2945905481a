// The screenshot series (--shots): every view of the console staged with
// fake running guests, the demo drives, the live release catalog and demo
// media jobs, written as numbered PNGs. The staging decisions are plain
// functions here; App::shots in shots.cpp draws and saves.
#pragma once

#include <string>
#include <vector>

#include "core/common.h"

struct MediaJob;

// One fake running guest: its name, profile id and picture path (may be empty).
struct ShotGuest {
  std::string name, profile, picture;
};

// The guests a VUNK_SHOT_GUESTS value names: entries separated by ";", each
// "name|profile|picture" where the picture is the whole rest after the second
// "|" (so it may hold "|"). Entries whose profile id is not in the profile
// table are dropped; with none left, the one default guest "Leopard PPC".
std::vector<ShotGuest> shot_guests(const std::string& value);

// The whole value of an environment variable, however long; empty when unset.

// 200 CPU samples (oldest first) of the fake guest with that uid.
std::vector<float> shot_cpu_history(int uid);

// Fills the job's three rate histories with 480 samples of a busy download
// from mirrors and peers, the peers joining over the first 40 samples.
void shot_histories(MediaJob& job);
