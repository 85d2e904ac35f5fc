// orvanesched: the scheduler service's entry.
#include "platform/crash_report.h"
#include "scheduler/service.h"

int main(int argc, char** argv) {
    orvane::platform::install_crash_report();
    return orvane::sched::scheduler_main(argc, argv);
}
