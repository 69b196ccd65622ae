// The quick fused preview the capture screen waits for: three 1296 × 984 UYVY frames,
// previews of 648 × 492, registered and fused.

#include "../tests/app/AppTestSupport.h"
#include "BenchSupport.h"
#include "Fuser.h"

#include <QCoreApplication>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The per-stage log lines would drown the table.
    qInstallMessageHandler(quiet);
    bench::printHeader("Quick preview: 3 x 1296x984 UYVY frames, previews 648x492");
    std::vector<Image<unsigned char>> burst = bench::kebunBurst(1296, 984);
    if (burst.empty())
        return 1;
    std::vector<Opsa::Frame> frames;
    for (int i = 2; i >= 0; --i) // capture order: long exposure first
        frames.push_back(apptest::yuvFrame(burst[i]));

    Fuser fuser(1296, 984, Opsa::UYVY, 3);
    auto fresh = [&] {
        fuser.frames = frames;
        fuser.previews.clear();
        fuser.previewResult = Image<unsigned char>();
    };
    const int runs = 9;
    bench::printResult("loadPreviews", bench::measure(runs, fresh, [&] { fuser.loadPreviews(); }));
    bench::printResult("computePreview, previews loaded",
        bench::measure(
            runs,
            [&] {
                fresh();
                fuser.loadPreviews();
            },
            [&] { fuser.computePreview(); }),
        "(target < 50 ms)");
    bench::printResult("computePreview from the frames",
        bench::measure(runs, fresh, [&] { fuser.computePreview(); }));
    return 0;
}
