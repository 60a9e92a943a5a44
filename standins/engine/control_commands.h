// The commands of the stand-in engine's control pipe, carried out on the UI thread, which owns
// the messaging and the views they read and drive.
#ifndef ORVANE_STANDINS_ENGINE_CONTROL_COMMANDS_H_
#define ORVANE_STANDINS_ENGINE_CONTROL_COMMANDS_H_

#include <string>
#include <string_view>
#include <vector>

namespace standin_engine {

// Carries out one request line and gives its reply lines. UI thread only.
std::vector<std::string> RunCommand(std::string_view line);

// From now on, counts the messages that the calling (UI) thread retrieves, for `ui-messages`.
void CountRetrievedMessages();

}  // namespace standin_engine

#endif  // ORVANE_STANDINS_ENGINE_CONTROL_COMMANDS_H_
