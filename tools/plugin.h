// Pass-through of monitoring plugins: one runs on the agent's host through its shell-script test.
#pragma once

#include <string>
#include <vector>

// The most of a plugin's standard output and error that is relayed; the rest is dropped.
inline constexpr int kPluginOutputBound = 65536;
inline constexpr int kPluginErrorBound = 4096;

// The parameters of the "TEST-ShellScript" request that runs commandLine with /bin/sh on the
// agent's host and stops it after timeLimitSeconds.
std::vector<std::string> PluginRequestParams(const std::string& commandLine, int timeLimitSeconds);

// What the plugin did.
struct TPluginResult {
  int status = 0;      // its exit status (128 + the signal when one ended it)
  std::string output;  // its standard output
  std::string errors;  // its standard error
};

// Takes the result line and the collected output of the reply apart. 1, or 0 with err set when
// the reply does not hold the wrapper's whole report.
int DecodePluginReply(const std::string& resultLine, const std::string& collected,
                      TPluginResult& result, std::string& err);
