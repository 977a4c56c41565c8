// Guards the queue's folder scans against freezing and mixing up: the walk's
// order and what it leaves out (hidden names, FIFOs, links to folders, pseudo
// file systems), the worker handing results back while the window stays live,
// a newer folder choice dropping everything an older scan still finds, Cancel
// and Delete All stopping a scan, and keyboard moves in the folder tree
// choosing a folder only once they settle.
#include "AppTestSupport.h"

#include "app/FolderScanner.h"
#include "app/FolderWalk.h"
#include "ui/ucBrowse.h"

#include <QDropEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QSignalSpy>
#include <QTimer>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::test;

namespace {

// Files and folders under root; names ending in "/" are folders.
void makeTree(const QString& root, const QStringList& names)
{
    for (const QString& n : names) {
        if (n.endsWith(QLatin1Char('/')))
            QDir().mkpath(root + QLatin1Char('/') + n);
        else
            writeFile(root + QLatin1Char('/') + n);
    }
}

QStringList walk(const QString& root, bool subFolders, bool hidden)
{
    QStringList out;
    WalkOptions o;
    o.subFolders = subFolders;
    o.hiddenNames = hidden;
    o.nameFilter = [](std::string_view n) { return HasArchiveExtension(n); };
    WalkCallbacks cb;
    cb.file = [&](const std::string& p) {
        out << QString::fromStdString(p);
        return true;
    };
    WalkFolder(root.toStdString(), o, PseudoFileSystems::current(), cb);
    return out;
}

// A tree of `folders` folders with `perFolder` archives each.
QStringList makeWideTree(const QString& root, int folders, int perFolder)
{
    QStringList archives;
    for (int f = 0; f < folders; ++f) {
        const QString dir = root + QStringLiteral("/d%1/").arg(f, 4, 10, QLatin1Char('0'));
        QDir().mkpath(dir);
        for (int i = 0; i < perFolder; ++i) {
            const QString p = dir + QStringLiteral("a%1.zip").arg(i, 3, 10, QLatin1Char('0'));
            QFile file(p);
            if (!file.open(QIODevice::WriteOnly))
                return {};
            archives << p;
        }
    }
    return archives;
}

} // namespace

class WindowFolderScanTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void mountInfoPseudoDevices_data();
    void mountInfoPseudoDevices();
    void pseudoFileSystemsAreNotEntered();
    void walkOrderAndWhatItLeavesOut();
    void walkStopsWhenAsked();
    void scannerHandsBackBatchesAndFinishes();
    void newerChoiceWinsDuringAScan();
    void cancelAndDeleteAllStopAScan();
    void dropDuringAScanWaitsItsTurn();
    void keyboardMovesSettleBeforeAScan();

private:
    SettingsSandbox store_;
    QScopedPointer<QTemporaryDir> files_;
    ShownWindow shown_;
};

void WindowFolderScanTest::initTestCase()
{
    QVERIFY(store_.setUp());
}

void WindowFolderScanTest::init()
{
    store_.clear();
    files_.reset(newScratchDir());
}

void WindowFolderScanTest::cleanup()
{
    shown_.close();
    files_.reset();
}

void WindowFolderScanTest::mountInfoPseudoDevices_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("pseudo");
    QTest::newRow("proc") << "21 26 0:20 / /proc rw,relatime - proc proc rw" << true;
    QTest::newRow("sysfs") << "22 26 0:21 / /sys rw,relatime shared:7 - sysfs sysfs rw" << true;
    QTest::newRow("devtmpfs") << "23 26 0:6 / /dev rw - devtmpfs devtmpfs rw,size=1k" << true;
    QTest::newRow("cgroup2") << "30 22 0:27 / /sys/fs/cgroup rw shared:9 master:2 - cgroup2 cgroup2 rw" << true;
    QTest::newRow("autofs") << "40 22 0:35 / /net rw - autofs systemd-1 rw,fd=29" << true;
    QTest::newRow("tmpfs is real") << "24 23 0:22 / /tmp rw - tmpfs tmpfs rw" << false;
    QTest::newRow("ext4") << "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw" << false;
    QTest::newRow("fuse") << "50 26 0:50 / /mnt/x rw - fuse.sshfs host: rw" << false;
    QTest::newRow("no separator") << "21 26 0:20 / /proc rw proc proc rw" << false;
    QTest::newRow("bad device") << "21 26 x:20 / /proc rw - proc proc rw" << false;
    QTest::newRow("truncated") << "21 26" << false;
}

void WindowFolderScanTest::mountInfoPseudoDevices()
{
    QFETCH(QString, line);
    QFETCH(bool, pseudo);
    // The line among ordinary ones, with and without a final newline.
    const std::string text = "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n" + line.toStdString();
    for (const std::string& t : {text, text + "\n"}) {
        const PseudoFileSystems table = PseudoFileSystems::fromMountInfo(t);
        QCOMPARE(table.devices().size(), size_t(pseudo ? 1 : 0));
        QVERIFY(!table.contains(makedev(8, 1)));
    }
    if (pseudo) {
        const QStringList fields = line.split(QLatin1Char(' '));
        const QStringList dev = fields[2].split(QLatin1Char(':'));
        QVERIFY(PseudoFileSystems::fromMountInfo(text).contains(makedev(dev[0].toUInt(), dev[1].toUInt())));
    }
}

void WindowFolderScanTest::pseudoFileSystemsAreNotEntered()
{
    if (!QFileInfo(QStringLiteral("/proc/self")).isDir())
        QSKIP("no /proc here");
    // /proc as a root and as a sub-folder: not read at all.
    WalkStats stats;
    WalkOptions o;
    o.subFolders = true;
    int files = 0;
    WalkCallbacks cb;
    cb.file = [&](const std::string&) { return ++files, true; };
    QCOMPARE(WalkFolder("/proc", o, PseudoFileSystems::current(), cb, &stats), WalkEnd::done);
    QCOMPARE(stats.folders, size_t(0));
    QCOMPARE(stats.pseudoSkipped, size_t(1));
    QCOMPARE(files, 0);
    // Without the mount table, statfs still knows /proc.
    stats = {};
    QCOMPARE(WalkFolder("/proc", o, PseudoFileSystems(), cb, &stats), WalkEnd::done);
    QCOMPARE(stats.folders, size_t(0));

    QVERIFY(QFile::link(QStringLiteral("/proc"), files_->path() + QStringLiteral("/proc-link")));
    QVERIFY(walk(files_->path(), true, false).isEmpty()); // links to folders are not followed
}

void WindowFolderScanTest::walkOrderAndWhatItLeavesOut()
{
    const QString r = files_->path();
    makeTree(r, {"b.zip", "A.ZIP", ".h.zip", "n.txt", "s2/x.tgz", "s1/y.zip", "s1/deep/z.rar", ".hid/h.zip",
                 "s1/empty/", "dir.zip/inner.zip"});
    QCOMPARE(::mkfifo(QFile::encodeName(r + QStringLiteral("/pipe.zip")).constData(), 0600), 0);
    QVERIFY(QFile::link(r + QStringLiteral("/pipe.zip"), r + QStringLiteral("/to-pipe.zip")));
    QVERIFY(QFile::link(r + QStringLiteral("/b.zip"), r + QStringLiteral("/to-b.zip")));
    QVERIFY(QFile::link(r, r + QStringLiteral("/s1/loop"))); // back to the root

    const QString p = r + QLatin1Char('/');
    // Own files first (names in byte order), then sub-folders depth-first;
    // a folder named like an archive is a folder; FIFOs, also behind links,
    // are never taken; links to files are.
    QCOMPARE(walk(r, true, false), QStringList({p + "A.ZIP", p + "b.zip", p + "to-b.zip", p + "dir.zip/inner.zip",
                                               p + "s1/y.zip", p + "s1/deep/z.rar", p + "s2/x.tgz"}));
    // One folder, hidden names included.
    QCOMPARE(walk(r, false, true), QStringList({p + ".h.zip", p + "A.ZIP", p + "b.zip", p + "to-b.zip"}));
    // A root given with its trailing slash walks the same; a file or a missing
    // folder gives nothing.
    QCOMPARE(walk(p, false, true).size(), 4);
    QVERIFY(walk(p + "b.zip", true, true).isEmpty());
    QVERIFY(walk(p + "missing", true, true).isEmpty());
}

void WindowFolderScanTest::walkStopsWhenAsked()
{
    const QStringList archives = makeWideTree(files_->path(), 20, 30);
    QCOMPARE(archives.size(), 600);
    WalkOptions o;
    o.subFolders = true;
    int seen = 0;
    WalkCallbacks cb;
    cb.file = [&](const std::string&) { return ++seen < 45; };
    QCOMPARE(WalkFolder(files_->path().toStdString(), o, PseudoFileSystems(), cb), WalkEnd::stopped);
    QCOMPARE(seen, 45);
    // keepGoing is asked between folders too.
    seen = 0;
    cb.file = [&](const std::string&) { return ++seen, true; };
    int asked = 0;
    cb.keepGoing = [&] { return ++asked < 3; };
    QCOMPARE(WalkFolder(files_->path().toStdString(), o, PseudoFileSystems(), cb), WalkEnd::stopped);
    QVERIFY(seen < 600);
}

void WindowFolderScanTest::scannerHandsBackBatchesAndFinishes()
{
    const QStringList archives = makeWideTree(files_->path(), 40, 60);
    QCOMPARE(archives.size(), 2400);
    const QString loose = files_->path() + QStringLiteral("/loose.ZIP");
    writeFile(loose);
    FolderScanner scanner;
    QStringList found;
    connect(&scanner, &FolderScanner::archivesFound, this, [&](const QStringList& b) { found += b; });
    QSignalSpy finished(&scanner, &FolderScanner::finished);
    scanner.enqueue({files_->path() + QStringLiteral("/d0001"), loose, files_->path()}, true);
    QVERIFY(scanner.active());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QCOMPARE(finished.first().first().toBool(), false);
    QVERIFY(!scanner.active());
    // Roots in order: a folder, a file, then the whole tree.
    QCOMPARE(found.mid(0, 60), archives.mid(60, 60));
    QCOMPARE(found.value(60), loose);
    QCOMPARE(found.mid(61), QStringList{loose} + archives);
    QCOMPARE(scanner.found(), found.size());
}

void WindowFolderScanTest::newerChoiceWinsDuringAScan()
{
    const QString big = files_->path() + QStringLiteral("/big");
    QVERIFY(makeWideTree(big, 200, 50).size() == 10000);
    const QString small = files_->path() + QStringLiteral("/small");
    makeTree(small, {"one.zip", "sub/two.tar", "three.txt"});

    frmMain& w = shown_.window();
    control<QCheckBox>(w, "Check3")->setChecked(true);
    auto* tree = control<ui::ucBrowse>(w, "ucBrowse1");
    auto* queue = control<QListWidget>(w, "List1");
    QVERIFY(tree->setPath(big));
    QVERIFY(w.scanActive());
    QVERIFY(control<QLabel>(w, "lblScan")->isVisible());
    // The window stays live: the first archives arrive while the walk goes on.
    QTRY_VERIFY(queue->count() > 0 || !w.scanActive());
    QVERIFY(tree->setPath(small));
    QTRY_VERIFY(!w.scanActive());
    QTest::qWait(100); // anything the old scan had still in flight
    QCOMPARE(queueItems(w), QStringList({small + "/one.zip", small + "/sub/two.tar"}));
    QCOMPARE(queue->currentRow(), 0);
    QVERIFY(!control<QLabel>(w, "lblScan")->isVisible());
}

void WindowFolderScanTest::cancelAndDeleteAllStopAScan()
{
    const QString big = files_->path() + QStringLiteral("/big");
    QVERIFY(makeWideTree(big, 200, 50).size() == 10000);
    frmMain& w = shown_.window();
    control<QCheckBox>(w, "Check3")->setChecked(true);
    auto* tree = control<ui::ucBrowse>(w, "ucBrowse1");

    QVERIFY(tree->setPath(big));
    QTest::mouseClick(control<QPushButton>(w, "chameleonButton4"), Qt::LeftButton);
    QVERIFY(!w.scanActive());
    const qsizetype kept = queueItems(w).size();
    QTest::qWait(100);
    QCOMPARE(queueItems(w).size(), kept); // nothing arrives after the cancel
    QVERIFY(kept < 10000);

    // Escape does the same; Delete All empties the queue for good.
    QVERIFY(tree->setPath(files_->path()));
    QVERIFY(tree->setPath(big));
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(!w.scanActive());
    QVERIFY(tree->setPath(files_->path()));
    QVERIFY(tree->setPath(big));
    QTRY_VERIFY(queueItems(w).size() > 0 || !w.scanActive());
    control<QAction>(w, "mnuRemoveAll")->trigger();
    QVERIFY(!w.scanActive());
    QTest::qWait(100);
    QVERIFY(queueItems(w).isEmpty());
}

void WindowFolderScanTest::dropDuringAScanWaitsItsTurn()
{
    const QString first = files_->path() + QStringLiteral("/first");
    const QStringList archives = makeWideTree(first, 50, 40);
    const QString second = files_->path() + QStringLiteral("/second");
    makeTree(second, {"z.zip"});
    frmMain& w = shown_.window();
    control<QCheckBox>(w, "Check3")->setChecked(true);
    auto* list = control<QListWidget>(w, "List1");
    for (const QString& folder : {first, second}) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(folder)});
        const QPoint at = list->viewport()->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &enter);
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(list->viewport(), &drop);
        QVERIFY(drop.isAccepted());
    }
    // The drops are handled once their events have returned.
    QTRY_VERIFY_WITH_TIMEOUT(!w.scanActive() && queueItems(w).size() > archives.size(), 20000);
    // Drops add up, each whole and in drop order.
    QCOMPARE(queueItems(w), archives + QStringList{second + "/z.zip"});
}

void WindowFolderScanTest::keyboardMovesSettleBeforeAScan()
{
    const QString r = files_->path();
    makeTree(r, {"a/1.zip", "b/2.zip", "c/3.zip"});
    frmMain& w = shown_.window();
    auto* tree = control<ui::ucBrowse>(w, "ucBrowse1");
    QSignalSpy chosen(tree, &ui::ucBrowse::PathChange);
    QVERIFY(tree->setPath(r + QStringLiteral("/a")));
    QCOMPARE(chosen.size(), 1); // a programmatic choice (as a click) counts at once
    QTRY_COMPARE(queueItems(w), QStringList({r + "/a/1.zip"}));
    // The model fills in its rows in the background: wait for a's siblings.
    QTRY_VERIFY(tree->model()->rowCount(tree->currentIndex().parent()) >= 3);

    tree->setFocus();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 4 && tree->path() != r + QStringLiteral("/c/"); ++i)
        QTest::keyClick(tree, Qt::Key_Down);
    const bool quick = clock.elapsed() < ui::ucBrowse::kSettleMs / 2;
    QCOMPARE(tree->path(), r + QStringLiteral("/c/"));
    if (quick) {
        // Two steps, no choice yet: the queue still holds a's archive.
        QCOMPARE(chosen.size(), 1);
        QVERIFY(tree->choicePending());
        QCOMPARE(queueItems(w), QStringList({r + "/a/1.zip"}));
    }
    // Once the user rests, the folder reached is chosen, once.
    QTRY_COMPARE(chosen.size(), 2);
    QCOMPARE(chosen.last().first().toString(), r + QStringLiteral("/c/"));
    QTRY_COMPARE(queueItems(w), QStringList({r + "/c/3.zip"}));

    // Return chooses at once.
    QTest::keyClick(tree, Qt::Key_Up);
    QTest::keyClick(tree, Qt::Key_Return);
    QCOMPARE(chosen.size(), 3);
    QCOMPARE(chosen.last().first().toString(), r + QStringLiteral("/b/"));
    QVERIFY(!tree->choicePending());
}

QTEST_MAIN(WindowFolderScanTest)
#include "window_folder_scan_test.moc"
