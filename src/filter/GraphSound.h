#pragma once
// Whether a filter graph carries sound: some clients time the pictures of a
// graph that also records sound differently from those of a picture-only one.

#include <strmif.h>

namespace telvor {

// True when an output pin in the graph is connected with a sound type, and
// when the graph cannot be read (the careful answer). Call it on the thread
// that is changing the graph's state (inside Run): from another thread the
// walk could wait for the graph's lock while the graph waits for that thread.
bool GraphCarriesSound(IFilterGraph* graph);

}  // namespace telvor
