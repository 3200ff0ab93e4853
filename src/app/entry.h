#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quorva {

// What the process does before it makes anything: open the window, or answer
// and end with `status`.
struct EntryChoice {
    bool openWindow = false;
    std::string output;
    std::string error;
    int status = 0;

    bool operator==(const EntryChoice&) const = default;
};

// The shell is configured by its environment; its arguments only inform, and
// anything but --help and --version is ignored. Those two answer anywhere; the
// window needs a display named in the environment.
EntryChoice chooseEntry(const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& environment,
                        std::string_view version);

// The line for a display that the environment names but the toolkit cannot open.
std::string displayUnopenedMessage(const std::map<std::string, std::string>& environment);

}  // namespace quorva
