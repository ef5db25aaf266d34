// The progress ticker of long steps: a status text, then one "." per second
// from SIGALRM. Its tick count is init's coarse clock.
#pragma once

namespace console {

void startProgress(const char* text);
// Ends the dotted line.
void stopProgress();
unsigned ticks();

}  // namespace console
