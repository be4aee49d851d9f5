#pragma once

inline constexpr const char* kVersionText = "1.00";
