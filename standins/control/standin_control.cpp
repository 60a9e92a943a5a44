// standin-control PIPE [COMMAND...]
//
// Sends one command to the stand-in engine's control pipe of a running host and prints the
// reply; without a command, sends each line of the standard input in turn. Exit code: 0 when
// every reply was "ok", "reply" or "lines", 1 when one was not, 2 when the pipe could not be
// reached or broke.
#include <iostream>
#include <string>

#include "standins/control/control_client.h"

namespace {

int Print(const std::vector<std::string>& reply) {
  for (const std::string& line : reply) {
    std::cout << line << '\n';
  }
  std::cout.flush();
  const std::string& first = reply.front();
  const bool good = first == "ok" || first.rfind("ok ", 0) == 0 || first.rfind("reply", 0) == 0 ||
                    first.rfind("lines ", 0) == 0;
  return good ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 2) {
      std::cerr << "usage: standin-control PIPE [COMMAND...]\n";
      return 2;
    }
    const std::string pipe = argv[1];
    auto client =
        standin_control::ControlClient::Connect(std::wstring(pipe.begin(), pipe.end()), 10000);
    if (!client) {
      std::cerr << "standin-control: cannot reach " << pipe << "\n";
      return 2;
    }
    auto run = [&](const std::string& line) {
      const auto reply = client->Request(line);
      if (!reply) {
        std::cerr << "standin-control: the pipe broke\n";
        return 2;
      }
      return Print(*reply);
    };
    if (argc > 2) {
      std::string line = argv[2];
      for (int i = 3; i < argc; ++i) {
        line += ' ';
        line += argv[i];
      }
      return run(line);
    }
    int status = 0;
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (line.empty()) {
        continue;
      }
      const int result = run(line);
      if (result == 2) {
        return 2;
      }
      status = status == 0 ? result : status;
    }
    return status;
  } catch (...) {
    return 2;
  }
}
