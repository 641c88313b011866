#pragma once

#include "layout.h"

#include <vector>

namespace kr7::panel {

// Controls whose tops lie this close (in twips) read as one row: the captions of one row were placed by hand.
inline constexpr int kRowTolerance = 60;

// The order in which the keyboard visits the controls: the window's frames and loose controls in reading
// order (rows top to bottom, each row left to right), and inside each frame its own controls the same way,
// as one run, frames within frames likewise. Only controls that take the focus are listed.
std::vector<const Control *> readingOrder();

bool takesFocus(const Control &c);

} // namespace kr7::panel
