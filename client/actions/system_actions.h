// The small system actions of scripts: message boxes, waits, the computer's name, the environment.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvane {

// Writes the text with its caption ("Script Message", or "Script warning message" at warning
// level). When standard input is a terminal it waits for Enter; otherwise it goes on at once, so an
// unattended run never waits for a person.
void message_box(std::string_view text, bool warning);

// Sleeps n seconds on the calling thread.
void wait_seconds(uint32_t n);

// The computer's name, at most the string variable capacity; empty when it cannot be read.
std::string computer_name_text();
// An environment variable's value, cut at the string variable capacity; empty when absent.
std::string environment_text(std::string_view name);

}  // namespace orvane
