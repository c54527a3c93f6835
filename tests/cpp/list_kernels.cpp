// Prints the kernels this CPU is offered, for the emulated-CPU tests:
// "kernels: scalar sse41 avx2 ."
#include "convert/kernels.h"

#include <cstdio>

int main() {
    std::printf("kernels:");
    for (const camsnap::Yu12RgbKernel &k : camsnap::yu12_rgb_kernels()) std::printf(" %s", k.name);
    std::printf(" .\n");
    return 0;
}
