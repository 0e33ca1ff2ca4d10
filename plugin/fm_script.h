// A reference to a host script that an event will run, with the file that holds it and the
// format in which event data is written into its parameter.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct FMScript {
  std::string sName;
  std::string fName;
  std::string format;

  // None for an empty script name. Otherwise the file name is the running command's own (the
  // facade's current file name outside a command) and the format is `format`, or the facade's
  // default format when none is given. Runs on the thread of the request being carried out.
  static std::optional<FMScript> make(const std::string& scriptName,
                                      std::optional<std::string> format = std::nullopt);

  // Queues the script with `param` as its parameter. Any thread; returns at once.
  void schedule(const std::string& param) const;

  // Queues the script with `param`, a carriage return, and `binary` in this script's format.
  // A conversion failure queues nothing and writes "ScriptError: ..." to standard output.
  void schedule(const std::string& param, const std::vector<uint8_t>& binary) const;
};
