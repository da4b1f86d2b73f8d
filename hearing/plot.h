// The measurement drawn as an SVG chart that any browser shows: the unbent
// key offsets against the key (the sample ranges show as steps), and each
// channel's bend curve against the ideal one.
#pragma once

#include "hearing/results.h"

#include <string>

// The whole SVG document.
std::string plot_svg(const MeasureResults& results);
