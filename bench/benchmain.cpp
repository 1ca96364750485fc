#include <QApplication>
#include <QStandardPaths>

#include <benchmark/benchmark.h>

int main(int argc, char **argv)
{
    // The main window may touch the connection preferences; they must never be the user's.
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
