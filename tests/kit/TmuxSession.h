#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/kit/ServerProcess.h"

namespace quv::testing {

// Asks `done` every 50 ms until it holds or `seconds` have passed; whether it held.
inline bool WaitUntilTrue(const std::function<bool()>& done, int seconds = 30) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// A tmux server of its own (a socket name no other test uses) running a
// shell script in one window of `width` x `height` cells, as a person's
// terminal: keys are typed into it and its screen is read as text. The
// destructor kills that tmux server, which ends what runs in it. The script
// is written to `folder`, which the caller owns. Owned by one test.
class TTmuxSession final {
 public:
  TTmuxSession(const std::string& folder, const std::string& script, int width = 120,
               int height = 40)
      : FSocket("quvtest-" + std::to_string(::getpid()) + "-" + std::to_string(NextNumber())) {
    const std::string file = folder + "/" + FSocket + ".sh";
    std::ofstream(file) << script;
    Run("-f /dev/null new-session -d -x " + std::to_string(width) + " -y " +
        std::to_string(height) + " 'sh " + file + "'");
  }
  ~TTmuxSession() { Run("kill-server"); }
  TTmuxSession(const TTmuxSession&) = delete;
  TTmuxSession& operator=(const TTmuxSession&) = delete;

  // Keys by tmux's names: "Enter", "Tab", "Escape", "Space", "Down", "DC", "F5", "q"
  // (no single quotes).
  void Keys(const std::vector<std::string>& keys) const {
    std::string line = "send-keys";
    for (const std::string& key : keys) line += " '" + key + "'";
    Run(line);
  }
  // Text typed as it stands (no single quotes in it).
  void Type(const std::string& text) const { Run("send-keys -l '" + text + "'"); }
  void Resize(int width, int height) const {
    Run("resize-window -x " + std::to_string(width) + " -y " + std::to_string(height));
  }
  // The screen's text, one line per row.
  std::string Screen() const { return Output("capture-pane -p"); }
  // A tmux format of the pane, such as "#{pane_title}".
  std::string Format(const std::string& format) const {
    return Output("display-message -p '" + format + "'");
  }
  // Reads the screen until `done` holds for it, for at most `seconds`; the
  // last screen read.
  std::string WaitUntil(const std::function<bool(const std::string&)>& done,
                        int seconds = 30) const {
    std::string screen;
    WaitUntilTrue([&] { return done(screen = Screen()); }, seconds);
    return screen;
  }
  // Reads the screen until it holds every one of `parts`.
  std::string WaitFor(const std::vector<std::string>& parts, int seconds = 30) const {
    return WaitUntil(
        [&parts](const std::string& screen) {
          return std::all_of(parts.begin(), parts.end(), [&screen](const std::string& part) {
            return screen.find(part) != std::string::npos;
          });
        },
        seconds);
  }

 private:
  static int NextNumber() {
    static int number = 0;
    return ++number;
  }
  void Run(const std::string& arguments) const {
    [[maybe_unused]] const int status = std::system(
        ("LC_ALL=C.UTF-8 tmux -L " + FSocket + " " + arguments + " >/dev/null 2>&1").c_str());
  }
  std::string Output(const std::string& arguments) const {
    int status = 0;
    return OutputOf("LC_ALL=C.UTF-8 tmux -L " + FSocket + " " + arguments, status);
  }

  const std::string FSocket;
};

}  // namespace quv::testing
