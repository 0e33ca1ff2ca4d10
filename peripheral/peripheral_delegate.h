// The peripheral-role manager. Not built yet: every operation records kNotImplemented.
#pragma once

#include <cstdint>
#include <set>
#include <string>

// Operations are called on HTTP worker threads.
class PeripheralDelegate {
 public:
  PeripheralDelegate();
  void startAdvertising(const std::string& options);
  void stopAdvertising();
  // Always false until advertising is built.
  bool isAdvertising();
  std::string get(const std::string& servID, const std::string& charID, const std::string& format);
  void set(const std::string& servID, const std::string& charID, const std::string& value,
           const std::string& format);
  void setProfile(const std::string& profileJSON);
  void setAuthorizationLevel(const std::string& uuid, int64_t level);

  // What the role knows of a remote central. Until requests from centrals are built, no central
  // is known: false, false, an empty set and level 0, without an error.
  bool isKnown(const std::string& UUID);
  bool isSubscribed(const std::string& UUID);
  std::set<std::string> getSubscribedFor(const std::string& UUID);
  int64_t getAuthorizationLevel(const std::string& UUID);
};
