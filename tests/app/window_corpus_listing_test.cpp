// Guards the contents list against dropping, reordering or mislabelling
// entries: every sound archive of the shared corpus that a reader loads shows
// one row per entry the reader counts, row k being entry k with its marker
// and name. (How many entries a reader finds is its own tests' business.)
#include "AppTestSupport.h"
#include "RecordingDialogs.h"

#include "support/TestSupport.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::test;

class WindowCorpusListingTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void everyLoadedArchiveListedWhole();

private:
    SettingsSandbox store_;
};

void WindowCorpusListingTest::initTestCase()
{
    QVERIFY(store_.setUp());
}

void WindowCorpusListingTest::everyLoadedArchiveListedWhole()
{
    if (!velmora::test::corpus_available())
        QSKIP("the shared corpus is not present");
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    auto* list = control<QTreeWidget>(w, "lstInZip");
    auto* queue = control<QListWidget>(w, "List1");
    int checked = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(velmora::test::corpus_dir())) {
        const std::string path = entry.path().string();
        if (!entry.is_regular_file() || path.ends_with(".expected.json"))
            continue;
        std::ifstream in(path + ".expected.json");
        if (!in)
            continue;
        const nlohmann::json expected = nlohmann::json::parse(in, nullptr, false);
        if (expected.is_discarded() || expected.value("negative", true))
            continue;

        const QString archive = QString::fromStdString(path);
        {
            const QSignalBlocker block(queue);
            queue->clear();
        }
        w.openArchivePath(archive);
        QCOMPARE(w.currentArchivePath(), archive);
        Cls_GetFileType& d = w.dispatcher();
        if (d.state().PackFileType == format_code::none)
            continue; // no reader for this format in this build
        ++checked;
        const int count = d.FileCount();
        QVERIFY2(list->topLevelItemCount() == count,
                 qPrintable(QStringLiteral("%1: %2 rows, reader counts %3")
                                .arg(archive).arg(list->topLevelItemCount()).arg(count)));
        for (int k = 1; k <= count; ++k) {
            const QString marker = d.Encrypted(k) ? QStringLiteral("+") : QStringLiteral(" ");
            QCOMPARE(list->topLevelItem(k - 1)->text(0), marker + QString::fromStdString(d.FileName(k)));
            QCOMPARE(list->topLevelItem(k - 1)->text(2).isEmpty(), false);
            QCOMPARE(list->topLevelItem(k - 1)->checkState(0), Qt::Checked); // Select All
        }
    }
    if (checked == 0)
        QSKIP("no reader of the corpus formats is built yet");
    qInfo("%d corpus archives listed through the window", checked);
}

QTEST_MAIN(WindowCorpusListingTest)
#include "window_corpus_listing_test.moc"
