// The signals a user or the system sends to stop a run: Ctrl-C (SIGINT),
// kill's default (SIGTERM) and a closed terminal (SIGHUP). By default each
// ends the process; the tools catch them to end in order (tarlek-mon's
// waits, tarlek-sim's stop of s51) or to leave no temporary file behind.
#pragma once

#include <signal.h>

#include <array>
#include <initializer_list>

namespace tarlek {

inline constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

// A signal set of the stop signals and the others given.
inline sigset_t StopSignalSet(std::initializer_list<int> others = {}) {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kStopSignals) sigaddset(&set, signal);
  for (const int signal : others) sigaddset(&set, signal);
  return set;
}

// Whether any stop signal is in set.
inline bool HoldsStopSignal(const sigset_t& set) {
  for (const int signal : kStopSignals) {
    if (sigismember(&set, signal) == 1) return true;
  }
  return false;
}

// Gives every stop signal and the others given handler (SIG_DFL for the
// default action), with no other signal blocked while it runs. Safe in a
// child between fork and exec.
inline void SetStopSignalHandler(void (*handler)(int), std::initializer_list<int> others = {}) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) ::sigaction(signal, &action, nullptr);
  for (const int signal : others) ::sigaction(signal, &action, nullptr);
}

}  // namespace tarlek
