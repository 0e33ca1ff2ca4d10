// The central-role manager. Not built yet: every operation records kNotImplemented.
#pragma once

#include <string>

// Operations are called on HTTP worker threads.
class CentralDelegate {
 public:
  CentralDelegate();
  void startScan(const std::string& options);
  void stopScan();
  void connect(const std::string& deviceID, const std::string& options, double timeout);
  void disconnect(const std::string& deviceID);
  std::string read(const std::string& deviceID, const std::string& servID,
                   const std::string& charID, const std::string& format, double timeout);
  void write(const std::string& deviceID, const std::string& servID, const std::string& charID,
             const std::string& value, const std::string& format, double timeout);
  void subscribe(const std::string& deviceID, const std::string& servID, const std::string& charID,
                 const std::string& script, const std::string& format, double timeout);
};
