// Window timings: listing 32,767 entries into lstInZip (reading, rows,
// AutoSizeColumns and Select All) beside `unzip -l` on the same archive; how
// often the event loop runs while 20,000 entries are extracted; and the
// longest event-loop gap while a folder tree of 200,000 files is scanned into
// the queue (the window must keep repainting and take the user's clicks).
#include "app/Dialogs.h"
#include "app/frmMain.h"
#include "ui/ucBrowse.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QSettings>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using velmora::MessageIcon;

// Dialogs that answer nothing and show nothing.
class SilentDialogs final : public velmora::app::Dialogs {
public:
    int messages = 0;
    void message(QWidget*, const QString&, const QString&, MessageIcon) override { ++messages; }
    velmora::app::RunMessageChoice runMessage(QWidget*, const QString&, const QString&, MessageIcon) override
    {
        ++messages;
        return velmora::app::RunMessageChoice::ok;
    }
    void runSummary(QWidget*, const velmora::app::RunSummary&) override {}
    bool askYesNo(QWidget*, const QString&, const QString&) override { return false; }
    QString password(QWidget*, const QString&, const QString&) override { return {}; }
    QString openFile(QWidget*, const QString&, const QStringList&) override { return {}; }
    QString existingFolder(QWidget*, const QString&, const QString&) override { return {}; }
    void openUrl(const QUrl&) override {}
    void popupMenu(QMenu*, const QPoint&) override {}
};

void put16(std::string& s, unsigned v)
{
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}
void put32(std::string& s, unsigned long v)
{
    put16(s, unsigned(v & 0xFFFF));
    put16(s, unsigned((v >> 16) & 0xFFFF));
}

// A ZIP of `count` stored entries in ten folders (PKWARE APPNOTE 4.3.7,
// 4.3.12, 4.3.16): small text bodies, one DOS time for all.
std::string make_zip(const std::string& path, int count)
{
    std::string out;
    std::string central;
    const unsigned dos_time = (9u << 11) | (26u << 5) | (52u / 2);
    const unsigned dos_date = ((2008u - 1980u) << 9) | (3u << 5) | 14u;
    for (int i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "dir%02d/file%05d.txt", i % 10, i);
        const std::string body = "entry " + std::to_string(i) + "\n";
        const unsigned long crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()));
        const unsigned long offset = out.size();
        const std::string n(name);
        // Local header: sig ver flags method time date crc csize usize nlen xlen
        put32(out, 0x04034b50);
        put16(out, 20); put16(out, 0); put16(out, 0); put16(out, dos_time); put16(out, dos_date);
        put32(out, crc); put32(out, body.size()); put32(out, body.size());
        put16(out, unsigned(n.size())); put16(out, 0);
        out += n;
        out += body;
        // Central header: sig made need flags method time date crc csize usize nlen xlen clen disk iattr eattr offset
        put32(central, 0x02014b50);
        put16(central, 20); put16(central, 20); put16(central, 0); put16(central, 0);
        put16(central, dos_time); put16(central, dos_date);
        put32(central, crc); put32(central, body.size()); put32(central, body.size());
        put16(central, unsigned(n.size())); put16(central, 0); put16(central, 0); put16(central, 0); put16(central, 0);
        put32(central, 0); put32(central, offset);
        central += n;
    }
    const unsigned long cd_offset = out.size();
    out += central;
    // End of central directory: sig disk cdisk entries total size offset comment
    put32(out, 0x06054b50);
    put16(out, 0); put16(out, 0); put16(out, unsigned(count)); put16(out, unsigned(count));
    put32(out, central.size()); put32(out, cd_offset); put16(out, 0);
    std::ofstream(path, std::ios::binary).write(out.data(), std::streamsize(out.size()));
    return path;
}

QTemporaryDir& scratch()
{
    static QTemporaryDir dir;
    return dir;
}

const std::string& zip_32767()
{
    static const std::string path = make_zip(scratch().filePath("list32767.zip").toStdString(), 32767);
    return path;
}

const std::string& zip_20000()
{
    static const std::string path = make_zip(scratch().filePath("extract20000.zip").toStdString(), 20000);
    return path;
}

void BM_ListIntoWindow_32767(benchmark::State& state)
{
    SilentDialogs dialogs;
    bool whole = true;
    for (auto _ : state) {
        state.PauseTiming();
        auto window = std::make_unique<velmora::app::frmMain>(dialogs);
        state.ResumeTiming();
        window->openArchivePath(QString::fromStdString(zip_32767()));
        state.PauseTiming();
        auto* list = window->findChild<QTreeWidget*>(QStringLiteral("lstInZip"));
        whole = whole && list->topLevelItemCount() == 32767;
        window.reset();
        state.ResumeTiming();
    }
    if (!whole)
        state.SkipWithError("the archive was not listed whole");
    state.counters["rows"] = 32767;
}
BENCHMARK(BM_ListIntoWindow_32767)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_UnzipList_32767(benchmark::State& state)
{
    const std::string command = "unzip -l '" + zip_32767() + "' > /dev/null";
    if (std::system("command -v unzip > /dev/null") != 0) {
        state.SkipWithError("unzip is not installed");
        return;
    }
    int failures = 0;
    for (auto _ : state)
        failures += std::system(command.c_str()) != 0;
    if (failures != 0)
        state.SkipWithError("unzip -l failed");
}
BENCHMARK(BM_UnzipList_32767)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ExtractResponsiveness_20000(benchmark::State& state)
{
    SilentDialogs dialogs;
    double passes = 0;
    double worst_gap_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir out;
        velmora::app::frmMain window(dialogs);
        window.findChild<QLineEdit*>(QStringLiteral("Text2"))->setText(out.path());
        window.openArchivePath(QString::fromStdString(zip_20000()));
        // A zero timer runs on every pass of the event loop; the gaps between
        // its runs are how long the window would not react.
        QElapsedTimer clock;
        qint64 last = -1;
        qint64 worst = 0;
        long ticks = 0;
        QTimer probe;
        probe.setInterval(0);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            if (!window.runActive())
                return;
            const qint64 now = clock.nsecsElapsed();
            if (last >= 0 && now - last > worst)
                worst = now - last;
            last = now;
            ++ticks;
        });
        probe.start();
        clock.start();
        state.ResumeTiming();
        window.findChild<QPushButton*>(QStringLiteral("isButton1"))->click();
        state.PauseTiming();
        passes += double(ticks);
        worst_gap_ms = std::max(worst_gap_ms, double(worst) / 1e6);
        state.ResumeTiming();
    }
    if (dialogs.messages != 0)
        state.SkipWithError("the extraction showed a message");
    state.counters["event_loop_passes"] = benchmark::Counter(passes, benchmark::Counter::kAvgIterations);
    state.counters["worst_gap_ms"] = worst_gap_ms;
}
BENCHMARK(BM_ExtractResponsiveness_20000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// 200,000 empty files in 1,000 folders (10 x 100), one in twenty named .zip.
constexpr int scan_files = 200000;
constexpr int scan_archives = scan_files / 20;

const QString& scan_tree()
{
    static const QString root = [] {
        const QString r = scratch().filePath(QStringLiteral("tree"));
        int made = 0;
        for (int top = 0; top < 10; ++top) {
            for (int sub = 0; sub < 100; ++sub) {
                const QString dir = r + QStringLiteral("/t%1/s%2/").arg(top).arg(sub);
                QDir().mkpath(dir);
                for (int f = 0; f < 200; ++f, ++made) {
                    const bool archive = made % 20 == 0;
                    QFile file(dir + QStringLiteral("f%1.%2").arg(f).arg(archive ? "zip" : "txt"));
                    if (!file.open(QIODevice::WriteOnly))
                        std::abort();
                }
            }
        }
        return r;
    }();
    return root;
}

void BM_FolderScanResponsiveness_200000(benchmark::State& state)
{
    SilentDialogs dialogs;
    const QString root = scan_tree();
    double worst_gap_ms = 0;
    double gaps_over_50ms = 0;
    int worst_gap_queue = 0;
    double passes = 0;
    bool whole = true;
    for (auto _ : state) {
        state.PauseTiming();
        velmora::app::frmMain window(dialogs);
        window.show();
        window.findChild<QCheckBox*>(QStringLiteral("Check3"))->setChecked(true);
        auto* tree = window.findChild<velmora::ui::ucBrowse*>(QStringLiteral("ucBrowse1"));
        auto* queue = window.findChild<QListWidget*>(QStringLiteral("List1"));
        QCoreApplication::processEvents();
        state.ResumeTiming();

        // The choice is made from the event loop, as a click would be; a
        // zero timer then measures every pass until the queue is complete.
        QElapsedTimer clock;
        qint64 last = 0;
        qint64 worst = 0;
        long ticks = 0;
        long longGaps = 0;
        int worstAt = 0;
        QEventLoop loop;
        QTimer probe;
        probe.setInterval(0);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            if (now - last > worst) {
                worst = now - last;
                worstAt = queue->count();
            }
            longGaps += now - last > 50'000'000 ? 1 : 0;
            last = now;
            ++ticks;
            if (queue->count() >= scan_archives || now > 300'000'000'000LL)
                loop.quit();
        });
        QTimer::singleShot(0, [&] {
            clock.start();
            probe.start();
            tree->setPath(root);
        });
        loop.exec();
        probe.stop();
        state.PauseTiming();
        whole = whole && queue->count() == scan_archives;
        worst_gap_ms = std::max(worst_gap_ms, double(worst) / 1e6);
        passes += double(ticks);
        gaps_over_50ms += double(longGaps);
        worst_gap_queue = worstAt;
        state.ResumeTiming();
    }
    if (!whole)
        state.SkipWithError("the queue did not get every archive");
    state.counters["event_loop_passes"] = benchmark::Counter(passes, benchmark::Counter::kAvgIterations);
    state.counters["worst_gap_ms"] = worst_gap_ms;
    state.counters["files"] = scan_files;
    state.counters["gaps_over_50ms"] = benchmark::Counter(gaps_over_50ms, benchmark::Counter::kAvgIterations);
    // Where the longest gap ended: 0 = before the first archive arrived.
    state.counters["worst_gap_queue"] = worst_gap_queue;
}
BENCHMARK(BM_FolderScanResponsiveness_200000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// The same probe over a shown, idle window for one second: the gaps the
// machine itself causes (other processes, the scheduler), to read the two
// figures above against.
void BM_IdleEventLoopGap(benchmark::State& state)
{
    SilentDialogs dialogs;
    double worst_gap_ms = 0;
    for (auto _ : state) {
        velmora::app::frmMain window(dialogs);
        window.show();
        QCoreApplication::processEvents();
        QElapsedTimer clock;
        qint64 last = 0;
        qint64 worst = 0;
        QEventLoop loop;
        QTimer probe;
        probe.setInterval(0);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            worst = std::max(worst, now - last);
            last = now;
            if (now > 1'000'000'000LL)
                loop.quit();
        });
        clock.start();
        probe.start();
        loop.exec();
        worst_gap_ms = std::max(worst_gap_ms, double(worst) / 1e6);
    }
    state.counters["worst_gap_ms"] = worst_gap_ms;
}
BENCHMARK(BM_IdleEventLoopGap)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmora"));
    QCoreApplication::setOrganizationName(QStringLiteral("velmora"));
    // Keep the user's settings out of it.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, scratch().filePath(QStringLiteral("config")));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
