// The scripts waiting in the script queue, as tests compare them: "name(parameter)@file".
#pragma once

#include <string>
#include <vector>

#include "server/script_scheduler.h"

// Takes every script that is due from this process's queue, in queue order.
inline std::vector<std::string> takeScripts() {
  std::vector<std::string> scripts;
  while (auto s = ScriptScheduler::dequeueScriptIfTime()) {
    scripts.push_back(s->script_name() + "(" + s->script_parameters() + ")@" + s->file_name());
  }
  return scripts;
}
