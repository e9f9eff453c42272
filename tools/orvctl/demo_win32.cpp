// orvctl demo on Windows: the register simulator runs on Linux only, so the
// demo says where to run it instead.
#include <cstdio>

#include "demo.h"

namespace orvctl {

int RunDemo(const DemoOptions&) {
    std::fprintf(stderr,
                 "orvctl: demo needs orv-sim, the register simulator, which runs on Linux only.\n"
                 "orvctl: start it there (orv-sim --tcp 9100 --data DIR --sample-data) and talk\n"
                 "orvctl: to it from here, e.g. orvctl --tcp LINUX-HOST:9100 receive --header\n"
                 "orvctl: h.txt --data d.txt --csv --command GET\n");
    return 2;
}

}  // namespace orvctl
