#include "frontend/OSTREL.h"
#include "platform/PLATFORM.h"

int main(int argc, char** argv) {
    platform::start_process();
    return ostrel_main(argc, argv);
}
