// The machine side in one include.
#pragma once

#include "machines/profile.h"
#include "machines/settings.h"
#include "machines/library.h"
#include "machines/proc.h"
#include "machines/qmp.h"
#include "machines/fleet.h"
