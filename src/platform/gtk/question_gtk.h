#pragma once

#include "platform/platform.h"

#include <gtk/gtk.h>

#include <functional>

namespace quorva {

// Asks the question in a small window over `parent`, read by a screen reader
// as an alert with its title and text. The answer comes once, true to leave;
// none comes if the window goes first.
void askQuestion(GtkWindow* parent, const Question& question,
                 std::function<void(bool leave)> answer);

}  // namespace quorva
