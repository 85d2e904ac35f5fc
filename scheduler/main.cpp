// orvanesched: the scheduler service's entry.
#include "scheduler/service.h"

int main(int argc, char** argv) {
    // The crash report writer is installed here, first thing.
    return orvane::sched::scheduler_main(argc, argv);
}
