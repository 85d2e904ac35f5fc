// Service signals delivered to a descriptor poll() can wait on: SIGINT and SIGTERM stop, SIGHUP reloads.
#pragma once

namespace orvane::platform {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread (call it before any thread starts, so
// every thread inherits the mask) and returns a descriptor that becomes readable when one of them
// arrives; -1 on failure. Programs started through spawn.h get the default mask back.
int open_stop_signals();
// Takes one waiting signal from the descriptor: its number, or 0 when none was waiting.
int take_stop_signal(int fd);

}  // namespace orvane::platform
