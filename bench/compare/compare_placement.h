// Where the threads of a measurement run. On a small machine a contender's
// rate depends as much on where the scheduler puts its threads as on the
// contender (left free, one peer's rate swung sixfold between rounds), so
// every contender is measured with its threads placed alike:
//
//   apart     the producing side on processor 0, everything else (consumer,
//             server process, the contenders' background threads) on
//             processor 1;
//   one core  every thread on processor 0;
//   free      wherever the scheduler puts them.
//
// A placement is chosen by the parent before it forks a measurement; the
// measurement's child calls PlaceConsumerSide once at its start (the threads
// it creates later, and a server process it forks, inherit it) and
// PlaceProducerSide on each producing thread before it produces.
#ifndef VYRE_BENCH_COMPARE_PLACEMENT_H
#define VYRE_BENCH_COMPARE_PLACEMENT_H

#include <string>

namespace compare {

enum class Placement { kApart, kOneCore, kFree };

// Reads "apart", "one-core" or "free"; false for anything else.
bool ParsePlacement(const std::string &text, Placement &out);

// The label shown with a figure measured under placement.
const char *PlacementLabel(Placement placement);

// The placement the next measurements use (the parent only).
void UsePlacement(Placement placement);

// Moves the calling thread, and the threads and processes it creates from
// now on, to the consumer side's processor. Nothing under kFree, or on a
// machine with a single processor.
void PlaceConsumerSide();

// Moves the calling thread to the producing side's processor.
void PlaceProducerSide();

} // namespace compare

#endif
