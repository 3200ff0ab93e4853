#pragma once

#include <string>

namespace quorva {

constexpr double minimumZoom = 0.6;
constexpr double maximumZoom = 2.0;
constexpr double zoomStep = 0.1;

double zoomedIn(double zoom);
double zoomedOut(double zoom);

// Sets the root element's CSS zoom to the shortest text that reads back as
// the same double, always with a decimal point.
std::string zoomScript(double zoom);

}  // namespace quorva
