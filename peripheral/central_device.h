// A remote central that has made a request of the local profile or subscribed to it.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "bluetooth/core_bluetooth.h"

struct CentralDevice {
  std::shared_ptr<CBCentral> central;   // the object the platform gave when the entry was made
  std::set<std::string> subscriptions;  // characteristic UUID texts, without their service
  int64_t authorizationLevel = 0;
};
