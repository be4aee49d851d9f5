#pragma once

#include <string>

#include "engine/rules/ProbeRules.h"

// The marker the program looks for, served by the tests' local pages.
inline const std::string kTestMarker = Target{}.marker;
