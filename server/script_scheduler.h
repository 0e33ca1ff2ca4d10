// The queue of host scripts waiting to be handed to the plug-in, paced at one per interval.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>

class FileMakerScript {
 public:
  FileMakerScript(std::string scriptName, std::string fileName, std::string parameters)
      : script_name_(std::move(scriptName)),
        file_name_(std::move(fileName)),
        script_parameters_(std::move(parameters)) {}
  const std::string& script_name() const { return script_name_; }
  const std::string& file_name() const { return file_name_; }
  const std::string& script_parameters() const { return script_parameters_; }
  void set_script_name(std::string v) { script_name_ = std::move(v); }
  void set_file_name(std::string v) { file_name_ = std::move(v); }
  void set_script_parameters(std::string v) { script_parameters_ = std::move(v); }

 private:
  std::string script_name_;
  std::string file_name_;
  std::string script_parameters_;
};

// Process-wide; all state lives on the serial queue "script.scheduler".
class ScriptScheduler {
 public:
  // Seconds since 1970 on the wall clock; replaceable so that tests control time.
  using Clock = std::function<double()>;

  // Queues a copy of the three texts; returns before the record is in the list. Any thread.
  static void scheduleScript(const std::string& scriptName, const std::string& fileName,
                             const std::string& param);
  // The next script if one is waiting and the interval has passed since the last hand-out.
  // Answers none at once when no record is listed or on its way; otherwise waits for the
  // queue, so it must not be called on it. Any other thread.
  static std::optional<FileMakerScript> dequeueScriptIfTime();
  // Replace a limit, asynchronously on the queue. Any thread; the system keeps the defaults.
  static void setMinExecutionInterval(double seconds);
  static void setMaxScheduled(unsigned long maxScheduled);
  // Replaces the clock (an empty function restores the wall clock). Waits for the queue.
  static void setClockForTesting(Clock clock);
  // Empties the list, installs `clock` (empty: the wall clock), takes its time as the last
  // hand-out and restores the default limits, as if the process had just started. Tests only.
  static void resetForTesting(Clock clock);
};
