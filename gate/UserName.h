#pragma once

#include <string>
#include <string_view>

#include "engine/loops/ProxyPool.h"

// What the gate can choose by: a country needs a country database, an anonymity a judge.
struct Abilities {
    bool countries = false;
    bool anonymity = false;
};

// A proxy user name read for what it asks of the way out, as the rotating gateways' clients write it:
// NAME[-country-CC[,CC...]][-anonymity-elite|anonymous][-session-ID][-sesstime-MINUTES][-strict], keys in any order
// and any case.
struct UserName {
    std::string name;
    ProxyPool::Want want;  // its session's key is NAME-ID
    std::string error;     // why it is refused, in the gate's language; empty when it is good
    std::string detail;    // the same in English, for Proxy-Status and the log
};
UserName parseUserName(std::string_view user, const Abilities& can);

inline constexpr std::string_view kUserNameForm =
    "NAME[-country-CC[,CC...]][-anonymity-elite|anonymous][-session-ID][-sesstime-MINUTES][-strict]";
inline constexpr int kMostSessionMinutes = 24 * 60;
