#pragma once

namespace tarnwick::app {

// Whether the Tarnwick Test window runs in this session, where that can be told for sure
// (by its window class on Windows); false where it cannot.
bool WindowRunning();

}  // namespace tarnwick::app
