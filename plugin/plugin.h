// The facade: the one object through which the command server reaches both Bluetooth roles and
// through which the roles record failures.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class CentralDelegate;
class PeripheralDelegate;

class Plugin {
 public:
  // The only instance, created on first use (thread-safe) and kept until the process ends.
  // Creating it creates the central-role manager, then the peripheral-role manager.
  static Plugin& shared();

  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // The text a value-returning operation gives when it failed.
  const std::string badResult = "?";

  // The last error's code and message, taken together.
  struct LastError {
    int64_t code = 0;
    std::string message;
    bool operator==(const LastError&) const = default;
  };

  // One command's own outcome and file name, for its own reply and its own script references
  // while other commands run at the same time. While one lives on a thread, every setLastError
  // and setCurrentFileName made on that thread, or on a role's queue in a synchronous block
  // that the thread runs, is kept here too; the shared fields are written as always. Made on
  // the thread that carries out the command, and destroyed there.
  class CommandOutcome {
   public:
    CommandOutcome();
    ~CommandOutcome();
    CommandOutcome(const CommandOutcome&) = delete;
    CommandOutcome& operator=(const CommandOutcome&) = delete;

    // What the command's steps recorded last, if they recorded anything.
    const std::optional<LastError>& recorded() const { return recorded_; }

    // The outcome of the command running on this thread (or queue block), or null.
    static CommandOutcome* current();

   private:
    friend class Plugin;
    void* previous_;
    std::optional<LastError> recorded_;
    std::optional<std::string> fileName_;
  };

  // ---- Last error and file name: any thread; the pair is updated atomically. ----
  // Stores `code` with `message`, or with the catalogue text of `code` when none is given.
  void setLastError(int64_t code, std::optional<std::string> message = std::nullopt);
  int64_t getLastError() const;
  std::string getLastErrorMessage() const;
  // The pair read at once. readLastError also makes it the running command's own outcome:
  // a command that reports the last error reports the pair it read.
  LastError lastError() const;
  LastError readLastError();
  // The running command's own error code so far (outside a command, the shared one): what a
  // step checks to tell whether the command has failed.
  int64_t commandError() const;
  // The file name of the latest command that took one, whichever client sent it.
  std::string currentFileName() const;
  // Stores the shared current file name, and the running command's own.
  void setCurrentFileName(std::string fileName);
  // The file name a script reference takes: the running command's own once it stored one,
  // otherwise (outside a command, or before it stored one) the shared current file name.
  std::string commandFileName() const;

  // ---- Process-wide defaults: any thread. ----
  static double defaultTimeout();
  static void setDefaultTimeout(double seconds);
  static std::string defaultFormat();
  static void setDefaultFormat(std::string format);

  // ---- Commands: called on HTTP worker threads, never on a role's queue. Each resets the last
  // error first, stores the file name where it takes one, then delegates to its role. ----
  void startScan(const std::string& options, const std::string& filename);
  void stopScan();
  void connect(const std::string& deviceID, const std::string& options, double timeout,
               const std::string& filename);
  void disconnect(const std::string& deviceID);
  std::string read(const std::string& deviceID, const std::string& servID,
                   const std::string& charID, const std::string& format, double timeout);
  void write(const std::string& deviceID, const std::string& servID, const std::string& charID,
             const std::string& value, const std::string& format, double timeout);
  void subscribe(const std::string& deviceID, const std::string& servID, const std::string& charID,
                 const std::string& script, const std::string& format, double timeout,
                 const std::string& filename);
  void startAdvertising(const std::string& options);
  void stopAdvertising();
  std::string getLocalChar(const std::string& servID, const std::string& charID,
                           const std::string& format);
  void setLocalChar(const std::string& servID, const std::string& charID, const std::string& format,
                    const std::string& value);

  // ---- Selectors ("/get", "/set"): HTTP worker threads. ----
  std::string get(const std::string& selector);
  std::string get(const std::string& selector, const std::string& deviceID);
  // The form without a device stores `filename` as the current file name first.
  void set(const std::string& selector, const std::string& value, const std::string& filename);
  // The form with a device (exported as "setWithSelector:deviceID:value:").
  void setForDevice(const std::string& selector, const std::string& deviceID,
                    const std::string& value);

  // Not supported here: each records kNotImplemented; getHelperPort returns -1.
  void setHelperPort(int64_t port);
  int64_t getHelperPort();

  CentralDelegate& centralDelegate() { return *centralDelegate_; }
  PeripheralDelegate& peripheralDelegate() { return *peripheralDelegate_; }

 private:
  Plugin();
  ~Plugin();

  // Code 0 with "No error": the first step of every command.
  void resetLastError();

  mutable std::mutex mutex_;  // guards the three fields below
  int64_t last_error = 0;
  std::string last_error_message = "No error";
  std::string currentFileName_;
  std::unique_ptr<CentralDelegate> centralDelegate_;
  std::unique_ptr<PeripheralDelegate> peripheralDelegate_;
};
