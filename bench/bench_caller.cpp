// The cost of the caller check: 1,000 guarded calls against 1,000 unguarded ones from one
// client, interleaved in blocks, in the same run.
#include "sandboxservice.h"
#include "testbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestBus bus;
    SandboxService service;
    if (!bus.start() || !service.start()) {
        std::fprintf(stderr, "could not start the bus or the service\n");
        return 1;
    }
    auto &s = service.scanner();
    constexpr int calls = 1000;
    constexpr int block = 50;
    std::vector<double> guarded, unguarded;
    for (int i = 0; i < 200; ++i) { // warm up both paths
        s.SetEngineStatus(1).waitForFinished();
        s.GetEngineStatus().waitForFinished();
    }
    for (int done = 0; done < calls; done += block) {
        for (int i = 0; i < block; ++i) {
            QElapsedTimer t;
            t.start();
            QDBusPendingReply<> r = s.SetEngineStatus(i);
            r.waitForFinished();
            guarded.push_back(t.nsecsElapsed() / 1e3);
            if (r.isError()) {
                std::fprintf(stderr, "refused: %s\n", qPrintable(r.error().message()));
                return 1;
            }
        }
        for (int i = 0; i < block; ++i) {
            QElapsedTimer t;
            t.start();
            s.GetEngineStatus().waitForFinished();
            unguarded.push_back(t.nsecsElapsed() / 1e3);
        }
    }
    auto mean = [](const std::vector<double> &v) {
        double sum = 0;
        for (double x : v)
            sum += x;
        return sum / v.size();
    };
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("%d calls each, one client\n", calls);
    std::printf("  guarded   (SetEngineStatus): mean %7.1f us, median %7.1f us\n", mean(guarded),
                median(guarded));
    std::printf("  unguarded (GetEngineStatus): mean %7.1f us, median %7.1f us\n", mean(unguarded),
                median(unguarded));
    std::printf("  ratio guarded/unguarded: mean %.2f, median %.2f (target <= 1.5)\n",
                mean(guarded) / mean(unguarded), median(guarded) / median(unguarded));
    service.exitApp();
    return 0;
}
