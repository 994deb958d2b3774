// Thread placement of the measurements (see compare_placement.h).
#include "compare_placement.h"

#include <sched.h>
#include <unistd.h>

namespace compare {

namespace {

Placement g_placement = Placement::kApart;

void PinTo(int cpu) {
    if (g_placement == Placement::kFree || sysconf(_SC_NPROCESSORS_ONLN) < 2) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(0, sizeof(set), &set);
}

} // namespace

bool ParsePlacement(const std::string &text, Placement &out) {
    if (text == "apart") {
        out = Placement::kApart;
    } else if (text == "one-core") {
        out = Placement::kOneCore;
    } else if (text == "free") {
        out = Placement::kFree;
    } else {
        return false;
    }
    return true;
}

const char *PlacementLabel(Placement placement) {
    switch (placement) {
    case Placement::kApart:
        return "producer and consumer on two processors";
    case Placement::kOneCore:
        return "every thread on one processor";
    default:
        return "threads placed by the scheduler";
    }
}

void UsePlacement(Placement placement) {
    g_placement = placement;
}

void PlaceConsumerSide() {
    PinTo(g_placement == Placement::kApart ? 1 : 0);
}

void PlaceProducerSide() {
    PinTo(0);
}

} // namespace compare
