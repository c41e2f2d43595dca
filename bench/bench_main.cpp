// main of every benchmark program.
#include "foundation/foundation.h"

#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    rv::StartFoundation();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rv::FinishFoundation();
    return 0;
}
