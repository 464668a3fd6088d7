// Every signal whose default action ends a program and that a program can
// catch: the ones after which an output must not be left behind.
#pragma once

#include <csignal>

inline constexpr int ENDING_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1,
                                         SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};
